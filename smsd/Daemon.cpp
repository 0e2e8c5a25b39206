#include "smsd/Daemon.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QLoggingCategory>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <sys/resource.h>
#include <thread>

Q_DECLARE_LOGGING_CATEGORY(lcQueue)

namespace telvoro::smsd {

using queue::ClaimedRow;
using queue::ClaimLost;
using queue::NumberStatus;
using queue::PrepareQueueDatabase;
using queue::ReportCounts;
using queue::Round;
using std::chrono::milliseconds;
using std::chrono::minutes;
using std::chrono::steady_clock;

Daemon::Daemon(Settings settings)
    : settings_(std::move(settings)), queue_(std::make_shared<ReportQueue>()) {}

Daemon::~Daemon() {
    RequestStop();
    Finish();
}

bool Daemon::Pause(milliseconds ms) {
    const auto until = std::chrono::steady_clock::now() + ms;
    while (!stop_ && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::min(milliseconds(50), ms));
    return !stop_;
}

void Daemon::Start() {
    http_ = std::make_unique<QHttpServer>();
    const std::shared_ptr<ReportQueue> queue = queue_;
    http_->route(QStringLiteral("/dlr"), [this, queue](const QHttpServerRequest& request,
                                                       QHttpServerResponder&& responder) {
        QTcpSocket* const socket = responder.socket();
        std::optional<Report> report = ParseReport(request.query());
        if (!report) {
            responder.write(QByteArrayLiteral("malformed report\n"), "text/plain",
                            QHttpServerResponder::StatusCode::BadRequest);
            return;
        }
        if (queue->Size() >= kMostWaitingReports) {
            // The database is away or slow: Kannel keeps the report and sends it again.
            responder.write(QByteArrayLiteral("busy\n"), "text/plain",
                            QHttpServerResponder::StatusCode::ServiceUnavailable);
            return;
        }
        if (!queue->Plausible(report->id, report->secret)) {
            // One line now and then: a flood of forgeries must not fill the journal.
            const auto now = std::chrono::steady_clock::now();
            ++forgedUnlogged_;
            if (now - forgedLogged_ >= std::chrono::seconds(10)) {
                qCWarning(lcQueue,
                          "%lld reports with a wrong secret turned away (the last for row %lld)",
                          forgedUnlogged_, report->id);
                forgedLogged_ = now;
                forgedUnlogged_ = 0;
            }
            responder.write(QByteArrayLiteral("forbidden\n"), "text/plain",
                            QHttpServerResponder::StatusCode::Forbidden);
            return;
        }
        report->ticket = ++nextTicket_;
        Waiting& w = waiting_[report->ticket];
        w.socket = socket;
        door_->Owe(socket);
        w.responder = std::make_unique<QHttpServerResponder>(std::move(responder));
        queue->Push(std::move(*report));
    });
    // Inbound messages come through the same door as the reports.
    http_->route(QStringLiteral("/mo"),
                 [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                     OnInbound(request, responder);
                 });
    // The door keeps the limits the HTTP server has none of; the server owns it.
    // Room for the database's and Kannel's connections beside the reports'.
    DoorLimits limits;
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        limits.connections = static_cast<int>(
            std::clamp<rlim_t>(files.rlim_cur, 16 + 128, limits.connections + 128) - 128);
    door_ = new ReportDoor(limits);
    if (door_->listen(settings_.listenHost, settings_.listenPort)) port_ = door_->serverPort();
    http_->bind(door_);
    if (port_ == 0)
        throw Error("cannot listen on " + settings_.listenHost.toString().toStdString() + ":" +
                    std::to_string(settings_.listenPort));
    QUrl base = ListenUrl(settings_, port_, QStringLiteral("/dlr"));
    if (settings_.reportUrl.isValid()) base = settings_.reportUrl;
    settings_.kannel.reportBase = base;
    qCInfo(lcQueue, "worker %s: reports on %s, Kannel at %s", qPrintable(settings_.worker),
           qPrintable(base.toString()),
           qPrintable(settings_.kannel.sendsms.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery)));

    if (!settings_.kannelConfig) {
        qCCritical(lcQueue, "no --kannel-conf: numbers caught being submitted when a worker "
                            "dies cannot be checked with Kannel and end unknown, and a text "
                            "longer than Kannel sends whole is not caught");
    } else if (settings_.kannelConfig->admin.isEmpty()) {
        qCCritical(lcQueue, "Kannel's configuration names no admin-port: numbers caught being "
                            "submitted when a worker dies end unknown");
    } else if (const auto window = settings_.kannelConfig->ReportWindow(),
               grace = CheckGrace(*settings_.kannelConfig);
               window <= grace) {
        qCCritical(lcQueue,
                   "smsbox retries a delivery report for %lld s (http-request-retry %d x "
                   "http-queue-delay %d), not longer than the %lld s a restarted worker waits "
                   "for one: numbers caught being submitted when a worker dies end unknown. "
                   "Raise http-request-retry in kannel.conf.",
                   static_cast<long long>(window.count() / 1000),
                   settings_.kannelConfig->reportRetries, settings_.kannelConfig->reportDelay,
                   static_cast<long long>(grace.count() / 1000));
    }
    writer_ = QThread::create([this] { WriterLoop(); });
    writer_->start();
    watcher_ = QThread::create([this] { WatchLoop(); });
    watcher_->start();
    sweeper_ = QThread::create([this] { SweepLoop(); });
    sweeper_->start();
    for (int i = 0; i < std::max(1, settings_.drains); ++i) {
        drains_.push_back(QThread::create([this, i] { DrainLoop(i); }));
        drains_.back()->start();
    }
}

QUrl ListenUrl(const Settings& settings, quint16 port, const QString& path) {
    const bool any = settings.listenHost == QHostAddress::Any ||
                     settings.listenHost == QHostAddress::AnyIPv4 ||
                     settings.listenHost == QHostAddress::AnyIPv6;
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(any ? QStringLiteral("127.0.0.1") : settings.listenHost.toString());
    url.setPort(port);
    url.setPath(path);
    return url;
}

void Daemon::RequestStop() {
    {
        const std::lock_guard lock(workMutex_);
        stop_ = true;
    }
    work_.notify_all();
}

void Daemon::Finish() {
    for (QThread* t : drains_) {
        t->wait();
        delete t;
    }
    drains_.clear();
    for (QThread** t : {&watcher_, &sweeper_})
        if (*t) {
            (*t)->wait();
            delete *t;
            *t = nullptr;
        }
    stopWriter_ = true;
    queue_->Wake();
    if (writer_) {
        writer_->wait();
        delete writer_;
        writer_ = nullptr;
    }
    // The last answers are written (and flushed); a report left unanswered is
    // sent again by Kannel.
    if (http_) QCoreApplication::sendPostedEvents(http_.get());
    for (auto& [ticket, w] : waiting_)
        if (!w.socket) (void)w.responder.release(); // nothing left to answer on
    waiting_.clear();
    http_.reset();
    door_ = nullptr;
}

void Daemon::AnswerReports(const std::vector<quint64>& tickets) {
    for (quint64 ticket : tickets) {
        auto it = waiting_.find(ticket);
        if (it == waiting_.end()) continue;
        if (it->second.socket) {
            it->second.responder->write(QByteArrayLiteral("ok\n"), "text/plain");
            it->second.socket->flush(); // before a stop closes the socket
            door_->Paid(it->second.socket.data());
        } else
            (void)it->second.responder.release(); // Kannel hung up: nothing to answer
        waiting_.erase(it);
    }
}

namespace {

NumberStatus OutcomeStatus(Outcome o) {
    switch (o) {
    case Outcome::Accepted:
        return NumberStatus::Submitted;
    case Outcome::Refused:
        return NumberStatus::Rejected;
    case Outcome::TryLater:
        return NumberStatus::Waiting;
    case Outcome::Uncertain:
        return NumberStatus::Unknown;
    }
    return NumberStatus::Unknown;
}

} // namespace

void Daemon::DrainLoop(int index) {
    const QString worker = settings_.drains > 1
                               ? settings_.worker + QLatin1Char('#') + QString::number(index)
                               : settings_.worker;
    Connection db(QStringLiteral("smsd-drain-%1").arg(index), settings_.limits);
    QueueStore store(db, worker, settings_.clock, settings_.refund, settings_.refundUnknown);
    store.SetDailyCap(settings_.dailyCap, settings_.zone);
    KannelClient kannel(settings_.kannel, &stop_);
    bool saidClosed = false;
    milliseconds backoff(500);
    bool opened = false, settled = false;
    const auto grow = [&] { backoff = std::min(backoff * 2, settings_.backoffMax); };
    // The row in hand and its round marked "submitting" but not yet sent are
    // kept through a database failure and taken up again.
    std::optional<ClaimedRow> row;
    std::optional<Round> next;
    while (!stop_) {
        try {
            if (!opened) {
                db.Open(settings_.source);
                PrepareQueueDatabase(db);
                opened = true;
            }
            if (!settled) {
                if (store.SettleOwn() > 0) AskCheck();
                settled = true;
            }
            // Outside the window rows wait in "0"; a row in hand finishes.
            if (!row && OutsideWindow(saidClosed)) continue;
            if (!row) {
                // The claim marks the first round too: one commit fewer a row.
                row = store.Claim(settings_.lease, /*startRound=*/true);
                if (row) {
                    if (row->madeChecking > 0) AskCheck();
                    next = std::move(row->first);
                    lastClaim_ = queue::SystemClock();
                }
            }
            if (!row) {
                WaitForWork(settings_.poll);
                continue;
            }
            queue_->Know(row->id, row->secret);
            if (!next && !stop_) next = store.StartRound(row->id, settings_.lease);
            while (next && !stop_) {
                const Round round = std::move(*next);
                next.reset();
                const int parts = PartsOf(row->memo);
                const int most = settings_.kannelConfig ? settings_.kannelConfig->maxMessages : 0;
                // Kannel sends the first max-messages parts of a longer text and
                // drops the rest: such a text is never handed over.
                Answer answer;
                if (most > 0 && parts > most) {
                    answer.outcome = Outcome::Refused;
                    answer.text = QStringLiteral("the text needs %1 SMS parts; Kannel sends at "
                                                 "most %2 of one text (max-messages): not sent")
                                      .arg(parts)
                                      .arg(most);
                } else {
                    answer = kannel.Send(row->id, round.round, row->secret, round.phones, row->memo,
                                         row->sender);
                    KannelSeen(answer.httpStatus != 0);
                }
                if (answer.stopped) {
                    // Left "submitting", as a crash leaves it: the next start,
                    // or the worker that takes the row over, checks the
                    // numbers with Kannel.
                    qCWarning(lcQueue, "row %lld: %s; its %lld numbers are checked with Kannel",
                              row->id, qPrintable(answer.text),
                              static_cast<long long>(round.phones.size()));
                    return;
                }
                const NumberStatus status = OutcomeStatus(answer.outcome);
                const QString text =
                    answer.httpStatus
                        ? QStringLiteral("Kannel %1: %2").arg(answer.httpStatus).arg(answer.text)
                    : answer.outcome == Outcome::Refused ? answer.text
                                                         : QStringLiteral("Kannel: ") + answer.text;
                const bool pause = answer.outcome == Outcome::TryLater || !answer.failed.isEmpty();
                // The answer is known only here: store it, however long the
                // database is away. Unless Kannel asked for a pause, the row's
                // next round is marked in the same commit.
                // Nothing but ClaimLost leaves this loop before the answer is
                // stored (a stop before the answer leaves the drain, above): a
                // round left "submitting" in hand is taken for one never sent
                // and goes out again.
                // Decided once: a retry after a commit that went through must
                // ask the same, or the round that commit marked is left behind.
                const bool markNext = !pause && !stop_;
                for (int tries = 0;; ++tries) {
                    try {
                        next = store.FinishRound(row->id, round.round, status, text, answer.failed,
                                                 settings_.lease, markNext);
                        break;
                    } catch (const ClaimLost&) {
                        throw;
                    } catch (const std::exception& e) {
                        qCWarning(lcQueue, "row %lld: cannot record Kannel's answer yet: %s",
                                  row->id, e.what());
                        if (stop_ && tries >= 1) return; // a restart makes them unknown
                        if (!stop_) {
                            std::this_thread::sleep_for(backoff);
                            grow();
                        }
                    }
                }
                if (pause) {
                    qCWarning(lcQueue,
                              "row %lld: Kannel cannot take numbers now (%s); again in "
                              "%lld ms",
                              row->id, qPrintable(text), static_cast<long long>(backoff.count()));
                    Pause(backoff);
                    grow();
                    if (!stop_) next = store.StartRound(row->id, settings_.lease);
                } else {
                    backoff = milliseconds(500);
                }
            }
            // A round marked and never sent waits again.
            if (next) {
                store.FinishRound(row->id, next->round, NumberStatus::Waiting,
                                  QStringLiteral("not sent: stopping"), {}, settings_.lease);
                next.reset();
            }
            if (!stop_) row.reset();
        } catch (const ClaimLost& e) {
            qCWarning(lcQueue, "%s", e.what());
            row.reset();
            next.reset();
        } catch (const std::exception& e) {
            qCWarning(lcQueue, "worker %s: %s; again in %lld ms", qPrintable(worker), e.what(),
                      static_cast<long long>(backoff.count()));
            Pause(backoff);
            grow();
        }
    }
}

void Daemon::PostAnswers(std::vector<quint64> tickets) {
    if (http_ && !tickets.empty())
        QMetaObject::invokeMethod(
            http_.get(), [this, tickets] { AnswerReports(tickets); }, Qt::QueuedConnection);
}

std::vector<Report> Daemon::ApplyOneByOne(QueueStore& store, std::vector<Report> batch) {
    // None is ever dropped: a disk that is full lets a report that changes
    // nothing through and refuses the next, which looks like a bad report.
    std::vector<quint64> done;
    std::vector<Report> kept;
    std::string last;
    std::size_t i = 0;
    for (; i < batch.size(); ++i) {
        try {
            store.ApplyReports({batch[i]});
            done.push_back(batch[i].ticket);
        } catch (const std::exception& e) {
            last = e.what();
            kept.push_back(std::move(batch[i]));
            // The database, not a report, is at fault: no use trying each.
            if (!store.ConnectionOpen() || (done.empty() && kept.size() >= 3)) {
                ++i;
                break;
            }
        }
    }
    for (; i < batch.size(); ++i)
        kept.push_back(std::move(batch[i]));
    if (!done.empty())
        qCWarning(lcQueue, "reports: %zu stored one by one, %zu kept for later (%s)", done.size(),
                  kept.size(), last.c_str());
    PostAnswers(std::move(done));
    return kept;
}

void Daemon::WriterLoop() {
    Connection db(QStringLiteral("smsd-reports"), settings_.limits);
    QueueStore store(db, settings_.worker, settings_.clock, settings_.refund,
                     settings_.refundUnknown);
    queue::Inbox inbox(db, settings_.clock, settings_.refusalWords);
    bool opened = false;
    milliseconds backoff(200);
    int failures = 0;
    auto nextCheck = steady_clock::now();
    for (;;) {
        // A short gather makes a batch of the reports of many numbers: each
        // waits for its commit anyway, and a commit costs the same for one or
        // two thousand. Short, because each report held keeps one of smsbox's
        // connections busy, and smsbox's one poll loop pays for every
        // connection it holds open (25 ms: 500 of them, 40% of its time).
        std::vector<Report> batch = queue_->Take(2000, milliseconds(100), milliseconds(10));
        if (batch.empty() && stopWriter_ && inbound_.Size() == 0) break;
        try {
            if (!opened) {
                db.Open(settings_.source);
                PrepareQueueDatabase(db);
                opened = true;
            }
            StoreInbound(inbox);
            if (!batch.empty()) {
                const ReportCounts counts = store.ApplyReports(batch);
                lastReport_ = queue::SystemClock();
                if (counts.forged > 0)
                    qCWarning(lcQueue, "%d reports with a wrong secret dropped", counts.forged);
                std::vector<quint64> tickets;
                tickets.reserve(batch.size());
                for (const Report& r : batch)
                    tickets.push_back(r.ticket);
                batch.clear();
                PostAnswers(std::move(tickets));
            }
            if (queue_->Size() == 0 && !stopWriter_ &&
                (checkWanted_ || steady_clock::now() >= nextCheck)) {
                // Every report taken before Kannel was asked is stored by now.
                if (std::optional<queue::KannelFacts> facts = TakeFacts()) {
                    const unsigned asked = checkAsked_;
                    const bool still = store.Check(*facts).storeWanted;
                    checkWanted_ = still || checkAsked_ != asked;
                    nextCheck = steady_clock::now() + minutes(1);
                }
            }
            failures = 0;
            backoff = milliseconds(200);
        } catch (const std::exception& e) {
            qCWarning(lcQueue, "reports: %s; %zu waiting", e.what(), queue_->Size() + batch.size());
            // The database is there but refused the batch: a report it cannot
            // take must not hold up every report behind it (it waits, alone).
            if (batch.size() > 1 && db.IsOpen()) {
                batch = ApplyOneByOne(store, std::move(batch));
                if (batch.empty()) { // every one went in after all
                    backoff = milliseconds(200);
                    continue;
                }
            }
            if (!batch.empty()) queue_->Return(std::move(batch));
            if (stopWriter_ && ++failures > 3) break;
            std::this_thread::sleep_for(stopWriter_ ? std::min(backoff, milliseconds(1000))
                                                    : backoff);
            backoff = std::min(backoff * 2, settings_.backoffMax);
        }
    }
}

} // namespace telvoro::smsd
