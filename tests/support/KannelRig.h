#pragma once
// A throw-away Kannel for tests: writes kannel.conf into a temp folder and
// starts the SMSC side (Kannel's fakesmsc, or our SMPP test server), then
// bearerbox, then smsbox, all on free 127.0.0.1 ports, and kills them all when
// it goes. The SMSC's view comes back as whole messages: parts joined by their
// concatenation header, text decoded.
//
// SMPP outcomes by the destination's last digit (see smpp_test_server.cpp):
// 2 undelivered (report type 2), 6 rejected by the SMSC at submit (type 16),
// 7 receipt REJECTD (type 2), anything else delivered (type 1). The fake SMSC
// delivers every message.
//
// No event loop needed: children are plain fork/exec, sockets are blocking.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace telvoro::test {

using namespace std::chrono_literals;

// A child process in a process group of its own, so that whatever it forks
// (smsbox re-executes itself when bearerbox goes away) goes with it.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Standard output and error go to `log` (appended). Throws when it cannot fork.
    // Standard input from `input` (a FIFO the parent writes), else /dev/null.
    void Start(const std::string& program, const std::vector<std::string>& args,
               const std::filesystem::path& log, const std::filesystem::path& input = {});
    bool Running();
    pid_t Pid() const { return pid_; }
    // SIGTERM to the group, then SIGKILL once `grace` is out. Returns the exit status
    // as waitpid gives it, or -1 when it was not running.
    int Stop(std::chrono::milliseconds grace = 5s);
    void Kill() { Stop(0ms); }
    void Signal(int signal);

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// One message as the SMSC saw it, its parts joined.
struct SmscMessage {
    QString from, to;
    QString text;          // decoded: UCS-2, GSM-7/UTF-8, or hex for binary data
    int parts = 1;         // 1 for a message without concatenation header
    bool ucs2 = false;     // sent as UCS-2
    bool complete = true;  // every part of a concatenated message arrived
    bool rejected = false; // the SMPP test server refused it at submit (numbers ending in 6)
};

class KannelRig {
public:
    enum class Smsc { Fake, Smpp };
    struct Options {
        Smsc smsc = Smsc::Fake;
        // The SMSC side, bearerbox's admin and smsbox ports and sendsms on
        // basePort to basePort + 3; 0: free ports found at start.
        int basePort = 0;
        int maxMessages = 10;      // the sendsms user's limit of parts per message
        int httpRequestRetry = 10; // smsbox retries a failed dlr-url call ...
        int httpQueueDelay = 1;    // ... this many seconds apart
        // smsbox's max-pending-requests: dlr-url calls in flight at once. -1: Kannel's
        // default (512).
        int maxPendingRequests = -1;
        // bearerbox's sms-outgoing-queue-limit: past it sendsms answers 503 (with the
        // SMSC stopped, the queue only grows). -1: Kannel's default (a million).
        int outgoingQueueLimit = -1;
        // Inbound messages: kannel.conf gets this group = sms-service block, and the
        // fake SMSC reads the messages it sends in from a FIFO (see SendInbound).
        QString smsService{};
    };

    // Starts everything; throws std::runtime_error with the logs' tails when a piece
    // does not come up.
    explicit KannelRig(Options options);
    KannelRig() : KannelRig(Options{}) {}
    ~KannelRig();
    KannelRig(const KannelRig&) = delete;
    KannelRig& operator=(const KannelRig&) = delete;

    QString SendsmsUrl() const; // http://127.0.0.1:PORT/cgi-bin/sendsms
    QString User() const { return user_; }
    QString Password() const { return password_; }
    // The password alone, for --kannel-password-file.
    std::filesystem::path PasswordFile() const { return folder_ / "kannel.password"; }
    std::filesystem::path Folder() const { return folder_; }
    std::filesystem::path ConfigFile() const { return folder_ / "kannel.conf"; }
    int SendsmsPort() const { return sendsmsPort_; }
    int AdminPort() const { return adminPort_; }
    // bearerbox's and smsbox's process IDs (-1 when stopped): the bench reads their CPU time.
    std::vector<pid_t> KannelPids() const { return {bearerbox_.Pid(), smsbox_.Pid()}; }
    // bearerbox's status page (status.txt), empty when it does not answer.
    QString Status() const;

    // Every message the SMSC has received so far, in arrival order of their first parts.
    std::vector<SmscMessage> Received() const;
    // Waits until `count` whole messages have arrived; returns what has, either way.
    std::vector<SmscMessage> WaitForMessages(size_t count, std::chrono::milliseconds timeout);
    // How many parts (SMS) the SMSC has received: cheaper than Received() for counting.
    size_t ReceivedParts() const;
    // Raw lines of the SMSC's log (fakesmsc's "Got message" lines, or the SMPP server's
    // log lines): for diagnostics.
    QStringList SmscLog() const;

    // The fake SMSC sends an inbound message from `from` to `to` (Kannel's fakesmsc
    // "text" line: the text as UTF-8 bytes).
    void SendInbound(const QString& from, const QString& to, const QString& text);

    // Fault injection. Stop ends smsbox and bearerbox (SIGTERM, or SIGKILL when `crash`);
    // Start brings them back on the same ports with the same store, so messages
    // bearerbox had accepted are still sent. StopSmsc/StartSmsc take the SMSC link
    // away while Kannel stays up: sendsms still accepts, bearerbox queues.
    void Stop(bool crash = false);
    void Start();
    void StopSmsc();
    void StartSmsc();

private:
    void WriteConfig();
    void StartSmscSide();
    void WaitForSmscOnline();
    [[noreturn]] void Fail(const std::string& what) const;

    Options options_;
    std::filesystem::path folder_;
    QString user_ = "telvoro", password_;
    int adminPort_ = 0, smsboxPort_ = 0, sendsmsPort_ = 0, smscPort_ = 0;
    QString adminPassword_;
    ChildProcess smsc_, bearerbox_, smsbox_;
    // ReceivedParts reads only what the SMSC's log (appended to, never cut)
    // gained since its last call: a benchmark's log grows to hundreds of MB.
    mutable std::mutex countMutex_;
    mutable std::uintmax_t countedTo_ = 0;
    mutable size_t countedParts_ = 0;
};

// A tiny HTTP server on 127.0.0.1 that answers every request 200 at once and keeps
// its request targets (path and query), as a dlr-url receiver.
class HttpRecorder {
public:
    HttpRecorder();
    ~HttpRecorder();
    HttpRecorder(const HttpRecorder&) = delete;
    HttpRecorder& operator=(const HttpRecorder&) = delete;

    int Port() const { return port_; }
    QString BaseUrl() const; // http://127.0.0.1:PORT
    std::vector<QByteArray> Requests() const;
    std::vector<QByteArray> WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;

private:
    void Loop();
    int listener_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<QByteArray> requests_;
    std::thread thread_;
};

struct HttpReply {
    int status = 0; // 0: no answer
    QByteArray body;
};
// A blocking HTTP/1.0 GET of an http:// URL on 127.0.0.1 or another host.
HttpReply HttpGet(const QString& url, std::chrono::milliseconds timeout = 30s);

// Kannel's own rate, for comparison with what is put in front of it: `numbers`
// numbers (13800000000 on) with a one-part text straight to sendsms, `perRequest`
// in each request, `parallel` requests at a time (a 503 is tried again); the clock
// runs until the SMSC has them all. Throws on another refusal or after `timeout`.
struct SendsmsRate {
    size_t numbers = 0;
    double seconds = 0;
    double PerSecond() const { return seconds > 0 ? numbers / seconds : 0; }
};
SendsmsRate MeasureSendsms(const KannelRig& rig, size_t numbers, size_t perRequest,
                           size_t parallel = 4, std::chrono::milliseconds timeout = 120s);

// A port on 127.0.0.1 that was free a moment ago, below the ephemeral range.
int FreePort();
// Whether something accepts connections on 127.0.0.1:port.
bool PortOpen(int port);

} // namespace telvoro::test
