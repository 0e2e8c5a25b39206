#pragma once
// The queue server: drains take rows and hand their numbers to Kannel; the
// report endpoint takes Kannel's delivery reports; the report writer stores
// them in batches and sweeps. Each of drain and writer runs on a thread of its
// own with its own connection; the endpoint lives on the thread that calls
// Start (it needs that thread's event loop) and answers each report once the
// batch holding it is committed.

#include "files/DataSource.h"
#include "queue/QueueStore.h"
#include "smsd/Inbound.h"
#include "smsd/KannelClient.h"
#include "smsd/KannelWatch.h"
#include "smsd/ReportDoor.h"
#include "smsd/ReportQueue.h"

#include <QHostAddress>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class QHttpServer;
class QHttpServerRequest;
class QHttpServerResponder;
class QTcpSocket;
class QThread;
class QTimer;

namespace telvoro::smsd {

using queue::Clock;
using queue::QueueStore;
using queue::SystemClock;

struct Settings {
    DataSource source;
    KannelSettings kannel; // reportBase is filled in from `listen` or `reportUrl`
    // Where Kannel sends reports when not straight to this worker: a name in
    // front of every worker, so a worker that died for good loses none.
    QUrl reportUrl;
    QHostAddress listenHost{QHostAddress::LocalHost};
    quint16 listenPort = 0; // 0: any free port (tests)
    QString worker;
    bool refund = false;
    bool refundUnknown = false; // with refund: numbers that end unknown too
    // Kannel's kannel.conf as read; without it nothing is asked of Kannel but sendsms.
    std::optional<KannelConfig> kannelConfig;
    std::chrono::milliseconds validity{48LL * 3600 * 1000};
    std::chrono::milliseconds lease{60000};
    std::chrono::milliseconds poll{500};         // how often an empty queue is looked at
    std::chrono::milliseconds backoffMax{30000}; // Kannel or the database away
    std::chrono::milliseconds sweepEvery{60000};
    int drains = 8; // rows in hand at once: one request in flight each
    Clock clock = SystemClock;
    TimeLimits limits = TimeLimits::Stated();
    // Inbound messages at /mo: the secret smsbox's get-url carries (empty:
    // every call is refused) and the texts that are refusals.
    QString moSecret;
    QStringList refusalWords = queue::DefaultRefusalWords();
    // Rows are claimed only inside the window, in local time of `zone`.
    std::optional<SendWindow> window;
    QTimeZone zone = QTimeZone(QByteArrayLiteral("Asia/Shanghai"));
    int dailyCap = 0; // numbers of one account to one phone per local day; 0: no cap
    bool printKannelService = false;
};

// Where Kannel reaches this worker: http://HOST:PORT`path` of its --listen address.
QUrl ListenUrl(const Settings& settings, quint16 port, const QString& path);

class Daemon {
public:
    explicit Daemon(Settings settings);
    ~Daemon();
    // Opens the report endpoint (throws when the address is taken) and starts the threads.
    void Start();
    // Asks every part to stop: the drains finish the request in flight.
    void RequestStop();
    // After RequestStop: waits for the drains, lets the writer store what it
    // holds, answers those reports, then closes the endpoint. Returns once
    // everything has stopped.
    void Finish();
    quint16 listenPort() const { return port_; }
    // For the tests: reports taken and forgeries turned away at the door.
    ReportQueue& reports() { return *queue_; }

private:
    void DrainLoop(int index);
    void WriterLoop();
    void AskCheck() {
        ++checkAsked_;
        checkWanted_ = true;
    }
    // Watches for new rows and wakes the drains at once: the poll is only
    // the fallback.
    void WatchLoop();
    // Makes numbers without a final report unknown, in small steps, and asks
    // Kannel for its facts on the numbers a dead worker was submitting: off
    // the report writer's thread, so reports are never held up by either.
    void SweepLoop();
    // Until a new row was seen, `poll` passed or a stop was asked for.
    void WaitForWork(std::chrono::milliseconds poll);
    // Stores a batch the database refused one report at a time; returns the
    // reports not stored, for later.
    std::vector<Report> ApplyOneByOne(QueueStore& store, std::vector<Report> batch);
    // Reports held unstored at most; past it Kannel is asked to send again later.
    static constexpr std::size_t kMostWaitingReports = 50000;
    static constexpr std::chrono::milliseconds kWatchEvery{10};
    bool Pause(std::chrono::milliseconds ms);
    // Whether Kannel answered a drain just now; said once, loudly, when it has
    // been away for over a minute, and once when it is back.
    void KannelSeen(bool reachable);
    void TellKannelAway();
    // This worker's line for telvoro-admin status.
    void Beat(QueueStore& store);
    // On the sweeper's thread: Kannel's facts (or, with nothing to ask, the
    // bare clock), handed to the writer. Nothing while Kannel is away.
    void AskKannel(KannelWatch* watch);
    // On the writer's thread, once every report taken before the facts were
    // asked for is stored: the facts to decide the checked numbers with.
    std::optional<queue::KannelFacts> TakeFacts();
    // On the endpoint's thread: answers the reports whose batch is committed.
    void AnswerReports(const std::vector<quint64>& tickets);
    // From the writer: has the endpoint's thread answer the reports now stored.
    void PostAnswers(std::vector<quint64> tickets);

    // A report is answered once it is stored, so a report taken just before a
    // crash is sent again by Kannel (smsbox's http-request-retry) instead of
    // being lost.
    struct Waiting {
        QPointer<QTcpSocket> socket;
        std::unique_ptr<QHttpServerResponder> responder;
    };
    std::map<quint64, Waiting> waiting_;
    // Answered as the reports are: once stored.
    InboundQueue inbound_;
    // Stores the inbound messages waiting; returns whether any were.
    void StoreInbound(queue::Inbox& inbox);
    // Outside the sending window: logs when it opens (once per closing) and waits a poll.
    bool OutsideWindow(bool& said);
    void OnInbound(const QHttpServerRequest& request, QHttpServerResponder& responder);
    // The listening socket's limits and connections; owned by http_.
    ReportDoor* door_ = nullptr;
    quint64 nextTicket_ = 0;
    std::chrono::steady_clock::time_point forgedLogged_;
    long long forgedUnlogged_ = 0;

    Settings settings_;
    std::shared_ptr<ReportQueue> queue_;
    std::unique_ptr<QHttpServer> http_;
    std::vector<QThread*> drains_;
    QThread* writer_ = nullptr;
    QThread* watcher_ = nullptr;
    QThread* sweeper_ = nullptr;
    std::mutex workMutex_;
    std::condition_variable work_;
    quint64 newRows_ = 0; // counts the changes the watcher saw
    quint16 port_ = 0;
    std::atomic<bool> stop_{false}, stopWriter_{false};
    std::atomic<qint64> kannelAwaySince_{0}; // 0: reachable
    std::atomic<bool> kannelAwaySaid_{false};
    // For telvoro-admin status (SendWorker), written by the sweeper's thread.
    const qint64 started_ = queue::SystemClock();
    std::atomic<qint64> lastClaim_{0}, lastReport_{0};
    std::atomic<qint64> kannelBackSince_{0}; // 0: not answered yet
    bool beatWarned_ = false;                // the sweeper's own
    std::mutex factsMutex_;
    std::optional<queue::KannelFacts> facts_;
    // Numbers are being checked with Kannel: found by the last check, made
    // by this worker's start or a takeover. Only then does every look at
    // Kannel check them and list its store (under load it holds every report
    // on its way, megabytes of XML); otherwise a check once a minute, and one
    // at the start, find what another worker left.
    std::atomic<bool> checkWanted_{false};
    // Bumped with each such start or takeover: a check that ran across one
    // does not clear checkWanted_.
    std::atomic<unsigned> checkAsked_{0};
};

} // namespace telvoro::smsd
