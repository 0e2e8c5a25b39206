#include "tests/support/KannelRig.h"
#include "tests/support/LoopbackListener.h"

#include <QFile>
#include <QStringDecoder>
#include <QUrl>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>

namespace telvoro::test {

namespace {

const char* const kBearerbox = "/usr/sbin/bearerbox";
const char* const kSmsbox = "/usr/sbin/smsbox";
const char* const kFakeSmsc = "/usr/lib/kannel/test/fakesmsc";
const std::string kSmppServer = std::string(TELVORO_BIN_DIR) + "/telvoro_smpp_test_server";
// Kannel's own smsc-id for the one link; the status page names it.
const char* const kSmscId = "rig";

using Clock = std::chrono::steady_clock;

template <typename Predicate> bool WaitFor(std::chrono::milliseconds timeout, Predicate ready) {
    const auto deadline = Clock::now() + timeout;
    while (!ready()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

QString RandomHex(int bytes) {
    std::random_device rd;
    QByteArray raw;
    for (int i = 0; i < bytes; ++i)
        raw.append(static_cast<char>(rd() & 0xFF));
    return QString::fromLatin1(raw.toHex());
}

QByteArray ReadAll(const std::filesystem::path& path) {
    QFile file(QString::fromStdString(path.string()));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::string Tail(const std::filesystem::path& path, int lines = 15) {
    const QList<QByteArray> all = ReadAll(path).split('\n');
    QByteArray tail;
    for (qsizetype i = std::max<qsizetype>(0, all.size() - lines - 1); i < all.size(); ++i)
        tail += all[i] + '\n';
    return "--- " + path.filename().string() + ":\n" + tail.toStdString();
}

// Kannel's URL encoding writes a space as '+'.
QByteArray KannelDecode(QByteArray encoded) {
    encoded.replace('+', ' ');
    return QByteArray::fromPercentEncoding(encoded);
}

// One part as the SMSC saw it.
struct Part {
    QString from, to;
    QByteArray udh;
    QByteArray data; // the raw bytes (fake SMSC) ...
    QString text;    // ... or the text already decoded (SMPP server, single 7-bit)
    bool decoded = false;
    std::optional<bool> ucs2; // known coding; unset: to be guessed from the bytes
    bool rejected = false;
};

struct Concat {
    int reference = -1, total = 1, sequence = 1;
};

Concat ConcatOf(const QByteArray& udh) {
    Concat c;
    if (udh.isEmpty()) return c;
    const auto byte = [&](qsizetype i) { return static_cast<uint8_t>(udh[i]); };
    const qsizetype end = std::min<qsizetype>(udh.size(), 1 + byte(0));
    for (qsizetype i = 1; i + 1 < end;) {
        const int iei = byte(i), length = byte(i + 1);
        if (iei == 0x00 && length == 3 && i + 4 < end)
            return {byte(i + 2), byte(i + 3), byte(i + 4)};
        if (iei == 0x08 && length == 4 && i + 5 < end)
            return {byte(i + 2) << 8 | byte(i + 3), byte(i + 4), byte(i + 5)};
        i += 2 + length;
    }
    return c;
}

// The fake SMSC prints UDH messages' bodies as bytes without their coding: UCS-2
// of any text with a Latin character holds a zero byte, Chinese UCS-2 is almost
// never valid UTF-8, and Kannel keeps 7-bit text as UTF-8.
bool LooksUcs2(const QByteArray& bytes) {
    if (bytes.contains('\0')) return bytes.size() % 2 == 0;
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(bytes);
    return utf8.hasError() && bytes.size() % 2 == 0;
}

QString Decode(const QByteArray& bytes, bool ucs2) {
    return ucs2 ? QStringDecoder(QStringDecoder::Utf16BE).decode(bytes) : QString::fromUtf8(bytes);
}

// "Got message N: <from to type ...>" lines of fakesmsc's debug output.
std::vector<Part> FakeSmscParts(const QByteArray& log) {
    std::vector<Part> parts;
    for (const QByteArray& raw : log.split('\n')) {
        const qsizetype start = raw.indexOf("Got message ");
        if (start < 0) continue;
        const qsizetype open = raw.indexOf(": <", start);
        const qsizetype close = raw.lastIndexOf('>');
        if (open < 0 || close < open) continue;
        const QByteArray line = raw.mid(open + 3, close - open - 3);
        const QList<QByteArray> words = line.split(' ');
        if (words.size() < 4) continue;
        Part p;
        p.from = QString::fromUtf8(words[0]);
        p.to = QString::fromUtf8(words[1]);
        const QByteArray& type = words[2];
        // The text of a "text" line is the rest of the line, spaces included.
        const qsizetype restAt = words[0].size() + words[1].size() + type.size() + 3;
        if (type == "text") {
            p.text = QString::fromUtf8(line.mid(restAt));
            p.decoded = true;
            p.ucs2 = false;
        } else if (type == "ucs-2") {
            p.data = KannelDecode(words[3]);
            p.ucs2 = true;
        } else if (type == "data") {
            p.text = QString::fromLatin1(KannelDecode(words[3]).toHex());
            p.decoded = true;
            p.ucs2 = false;
        } else if (type == "udh" && words.size() >= 6) {
            p.udh = KannelDecode(words[3]);
            p.data = KannelDecode(words[5]);
        } else {
            continue;
        }
        parts.push_back(std::move(p));
    }
    return parts;
}

// "submit_sm id=.. status=.. from=.. to=.. dcs=.. esm=.. udh=HEX data=HEX text=PCT"
std::vector<Part> SmppServerParts(const QByteArray& log) {
    std::vector<Part> parts;
    for (const QByteArray& line : log.split('\n')) {
        if (!line.startsWith("submit_sm ")) continue;
        std::map<QByteArray, QByteArray> fields;
        for (const QByteArray& word : line.split(' ')) {
            const qsizetype eq = word.indexOf('=');
            if (eq > 0) fields[word.left(eq)] = word.mid(eq + 1);
        }
        Part p;
        p.from = QString::fromUtf8(QByteArray::fromPercentEncoding(fields["from"]));
        p.to = QString::fromUtf8(QByteArray::fromPercentEncoding(fields["to"]));
        p.udh = QByteArray::fromHex(fields["udh"]);
        p.text = QString::fromUtf8(QByteArray::fromPercentEncoding(fields["text"]));
        p.decoded = true;
        p.ucs2 = fields["dcs"] == "8";
        p.rejected = fields["status"] != "0";
        parts.push_back(std::move(p));
    }
    return parts;
}

std::vector<SmscMessage> Assemble(const std::vector<Part>& parts) {
    struct Pending {
        size_t message;                   // index into the result
        std::map<int, const Part*> parts; // by sequence number
        int total;
    };
    std::vector<SmscMessage> messages;
    std::vector<std::vector<const Part*>> pieces;
    std::map<std::tuple<QString, QString, int, int>, Pending> open;
    for (const Part& part : parts) {
        const Concat c = ConcatOf(part.udh);
        if (c.reference < 0 || c.total <= 1) {
            messages.push_back({part.from, part.to, {}, 1, false, true, part.rejected});
            pieces.push_back({&part});
            continue;
        }
        const auto key = std::make_tuple(part.from, part.to, c.reference, c.total);
        auto it = open.find(key);
        if (it == open.end() || it->second.parts.count(c.sequence)) {
            messages.push_back({part.from, part.to, {}, c.total, false, false, false});
            pieces.push_back({});
            it = open.insert_or_assign(key, Pending{messages.size() - 1, {}, c.total}).first;
        }
        Pending& pending = it->second;
        pending.parts[c.sequence] = &part;
        std::vector<const Part*>& ordered = pieces[pending.message];
        ordered.clear();
        for (const auto& [seq, p] : pending.parts)
            ordered.push_back(p);
        messages[pending.message].complete =
            static_cast<int>(pending.parts.size()) == pending.total;
        messages[pending.message].rejected = messages[pending.message].rejected || part.rejected;
        if (messages[pending.message].complete) open.erase(it);
    }
    for (size_t i = 0; i < messages.size(); ++i) {
        const std::vector<const Part*>& ps = pieces[i];
        if (ps.empty()) continue;
        if (ps.front()->decoded) {
            for (const Part* p : ps)
                messages[i].text += p->text;
            messages[i].ucs2 = ps.front()->ucs2.value_or(false);
            continue;
        }
        QByteArray bytes;
        for (const Part* p : ps)
            bytes += p->data;
        const bool ucs2 = ps.front()->ucs2.value_or(LooksUcs2(bytes));
        messages[i].text = Decode(bytes, ucs2);
        messages[i].ucs2 = ucs2;
    }
    return messages;
}

int Connect(const QString& host, int port, std::chrono::milliseconds timeout) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host == "localhost" ? "127.0.0.1" : host.toLatin1().constData(),
                  &addr.sin_addr) != 1) {
        close(fd);
        return -1;
    }
    timeval tv{static_cast<time_t>(timeout.count() / 1000),
               static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const QByteArray& data) {
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.constData() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

} // namespace

// --- ChildProcess

void ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::filesystem::path& log, const std::filesystem::path& input) {
    Kill();
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string logPath = log.string();
    const std::string inPath = input.empty() ? std::string("/dev/null") : input.string();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("cannot fork for " + program);
    if (pid == 0) {
        setpgid(0, 0);
        const int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        // Read-write: a FIFO opens at once and never reads as ended.
        const int in = open(inPath.c_str(), input.empty() ? O_RDONLY : O_RDWR);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        if (in >= 0) dup2(in, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    setpgid(pid, pid);
    pid_ = pid;
    status_ = -1;
}

bool ChildProcess::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
        // Whatever it left behind in its group goes too.
        kill(-pid_, SIGKILL);
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::Signal(int signal) {
    if (pid_ > 0) kill(-pid_, signal);
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return -1;
    const pid_t group = pid_;
    if (grace > 0ms) {
        kill(-group, SIGTERM);
        WaitFor(grace, [&] { return !Running(); });
    }
    if (pid_ > 0) {
        kill(-group, SIGKILL);
        int status = 0;
        while (waitpid(group, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = status;
        pid_ = -1;
    }
    kill(-group, SIGKILL);
    return status_;
}

// --- KannelRig

KannelRig::KannelRig(Options options) : options_(options) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "telvoro-kannel-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temp folder");
    folder_ = pattern;
    password_ = RandomHex(8);
    adminPassword_ = RandomHex(8);
    {
        std::ofstream file(PasswordFile(), std::ios::binary);
        file << password_.toStdString();
    }
    std::filesystem::permissions(PasswordFile(), std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_write);
    try {
        const int base = options_.basePort;
        if (base > 0) smscPort_ = base;
        if (options_.smsc == Smsc::Smpp) {
            StartSmscSide();
        } else if (base == 0) {
            smscPort_ = FreePort();
        }
        adminPort_ = base > 0 ? base + 1 : FreePort();
        smsboxPort_ = base > 0 ? base + 2 : FreePort();
        sendsmsPort_ = base > 0 ? base + 3 : FreePort();
        WriteConfig();
        Start();
    } catch (...) {
        smsbox_.Kill();
        bearerbox_.Kill();
        smsc_.Kill();
        throw;
    }
}

KannelRig::~KannelRig() {
    smsbox_.Kill();
    bearerbox_.Kill();
    smsc_.Kill();
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

void KannelRig::WriteConfig() {
    const QString dir = QString::fromStdString(folder_.string());
    QString conf;
    conf += QString("group = core\n"
                    "admin-port = %1\n"
                    "admin-interface = 127.0.0.1\n"
                    "admin-password = \"%2\"\n"
                    "smsbox-port = %3\n"
                    "smsbox-interface = 127.0.0.1\n"
                    "box-allow-ip = 127.0.0.1\n"
                    // The file store keeps what bearerbox accepted across a restart.
                    "store-type = file\n"
                    "store-location = \"%4/kannel.store\"\n"
                    "dlr-storage = internal\n"
                    "log-file = \"%4/bearerbox.log\"\n"
                    "log-level = 1\n"
                    "sms-resend-freq = 1\n")
                .arg(adminPort_)
                .arg(adminPassword_)
                .arg(smsboxPort_)
                .arg(dir);
    if (options_.outgoingQueueLimit >= 0)
        conf += QString("sms-outgoing-queue-limit = %1\n").arg(options_.outgoingQueueLimit);
    conf += "\n";
    if (options_.smsc == Smsc::Fake) {
        conf += QString("group = smsc\n"
                        "smsc = fake\n"
                        "smsc-id = %1\n"
                        "port = %2\n"
                        "connect-allow-ip = 127.0.0.1\n\n")
                    .arg(kSmscId)
                    .arg(smscPort_);
    } else {
        conf += QString("group = smsc\n"
                        "smsc = smpp\n"
                        "smsc-id = %1\n"
                        "host = 127.0.0.1\n"
                        "port = %2\n"
                        "transceiver-mode = true\n"
                        "smsc-username = \"telvoro\"\n"
                        "smsc-password = \"smpp\"\n"
                        "system-type = \"\"\n"
                        "reconnect-delay = 1\n"
                        "max-pending-submits = 100\n\n")
                    .arg(kSmscId)
                    .arg(smscPort_);
    }
    conf += QString("group = smsbox\n"
                    "bearerbox-host = 127.0.0.1\n"
                    "bearerbox-port = %1\n"
                    "sendsms-port = %2\n"
                    "sendsms-interface = 127.0.0.1\n"
                    // No global-sender: it would replace the receiver of inbound
                    // messages too; every request names its sender.
                    // Without these a dlr-url call that fails is dropped.
                    "http-request-retry = %3\n"
                    "http-queue-delay = %4\n"
                    "log-file = \"%5/smsbox.log\"\n"
                    "log-level = 1\n")
                .arg(smsboxPort_)
                .arg(sendsmsPort_)
                .arg(options_.httpRequestRetry)
                .arg(options_.httpQueueDelay)
                .arg(dir);
    if (options_.maxPendingRequests > 0)
        conf += QString("max-pending-requests = %1\n").arg(options_.maxPendingRequests);
    conf += "\n";
    if (!options_.smsService.isEmpty()) conf += options_.smsService + "\n";
    conf += QString("group = sendsms-user\n"
                    "username = \"%1\"\n"
                    "password = \"%2\"\n"
                    "concatenation = true\n"
                    "max-messages = %3\n")
                .arg(user_, password_)
                .arg(options_.maxMessages);
    QFile file(QString::fromStdString(ConfigFile().string()));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot write " + ConfigFile().string());
    file.write(conf.toUtf8());
}

void KannelRig::StartSmscSide() {
    if (options_.smsc == Smsc::Fake && !options_.smsService.isEmpty()) {
        // No message on its command line: it sends the lines of its input
        // (a FIFO, SendInbound) and prints what it receives.
        const std::filesystem::path fifo = folder_ / "fakesmsc.in";
        if (!std::filesystem::exists(fifo) && mkfifo(fifo.c_str(), 0600) != 0)
            throw std::runtime_error("cannot make " + fifo.string());
        smsc_.Start(kFakeSmsc, {"-H", "127.0.0.1", "-r", std::to_string(smscPort_), "-i", "0"},
                    folder_ / "fakesmsc.log", fifo);
        return;
    }
    if (options_.smsc == Smsc::Fake) {
        // No message of its own to send (-m 0); it prints what it receives.
        smsc_.Start(kFakeSmsc,
                    {"-H", "127.0.0.1", "-r", std::to_string(smscPort_), "-m", "0", "1 2 text -"},
                    folder_ / "fakesmsc.log");
        return;
    }
    const std::filesystem::path out = folder_ / "smpp-server.out";
    std::filesystem::remove(out);
    smsc_.Start(kSmppServer,
                {"--port", std::to_string(smscPort_), "--log",
                 (folder_ / "smpp-server.log").string(), "--system-id", "telvoro", "--password",
                 "smpp"},
                out);
    if (!WaitFor(10s, [&] { return ReadAll(out).contains('\n') || !smsc_.Running(); }) ||
        !smsc_.Running())
        Fail("the SMPP test server did not start");
    if (smscPort_ == 0) {
        const QByteArray line = ReadAll(out).split('\n').front();
        smscPort_ = line.mid(line.indexOf(' ') + 1).toInt();
    }
}

void KannelRig::Start() {
    smsbox_.Kill();
    bearerbox_.Start(kBearerbox, {"-v", "2", ConfigFile().string()}, folder_ / "bearerbox.out");
    if (!WaitFor(20s, [&] { return PortOpen(adminPort_) || !bearerbox_.Running(); }) ||
        !bearerbox_.Running())
        Fail("bearerbox did not open its admin port");
    if (options_.smsc == Smsc::Fake) StartSmscSide();
    WaitForSmscOnline();
    // smsbox panics when bearerbox is not listening yet: it comes last.
    smsbox_.Start(kSmsbox, {"-v", "2", ConfigFile().string()}, folder_ / "smsbox.out");
    if (!WaitFor(20s, [&] { return PortOpen(sendsmsPort_) || !smsbox_.Running(); }) ||
        !smsbox_.Running())
        Fail("smsbox did not open its sendsms port");
    // It opens that port before it has joined bearerbox; bearerbox lists it once joined.
    if (!WaitFor(20s, [&] { return Status().contains("smsbox:") || !smsbox_.Running(); }) ||
        !smsbox_.Running())
        Fail("smsbox did not connect to bearerbox");
}

void KannelRig::WaitForSmscOnline() {
    const QString link = QString("%1[%1]").arg(kSmscId);
    const bool online = WaitFor(20s, [&] {
        // fakesmsc gives up when bearerbox's SMSC port is not open yet: try again.
        if (options_.smsc == Smsc::Fake && !smsc_.Running()) StartSmscSide();
        for (const QString& line : Status().split('\n'))
            if (line.trimmed().startsWith(link) && line.contains("(online")) return true;
        return !bearerbox_.Running();
    });
    if (!online || !bearerbox_.Running()) Fail("the SMSC link did not come online");
}

void KannelRig::Stop(bool crash) {
    if (crash) {
        bearerbox_.Kill();
        smsbox_.Kill();
    } else {
        smsbox_.Stop();
        bearerbox_.Stop();
    }
    // fakesmsc ends with bearerbox's connection; make sure of it.
    if (options_.smsc == Smsc::Fake) smsc_.Stop(2s);
}

void KannelRig::SendInbound(const QString& from, const QString& to, const QString& text) {
    const std::filesystem::path fifo = folder_ / "fakesmsc.in";
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) throw std::runtime_error("the fake SMSC takes no inbound messages here");
    const QByteArray line = (from + ' ' + to + " text " + text).toUtf8() + '\n';
    const bool whole = write(fd, line.constData(), line.size()) == line.size();
    close(fd);
    if (!whole) throw std::runtime_error("cannot hand the fake SMSC an inbound message");
}

void KannelRig::StopSmsc() {
    smsc_.Stop(2s);
}

void KannelRig::StartSmsc() {
    StartSmscSide();
    WaitForSmscOnline();
}

QString KannelRig::SendsmsUrl() const {
    return QString("http://127.0.0.1:%1/cgi-bin/sendsms").arg(sendsmsPort_);
}

QString KannelRig::Status() const {
    const HttpReply reply = HttpGet(
        QString("http://127.0.0.1:%1/status.txt?password=%2").arg(adminPort_).arg(adminPassword_),
        2s);
    return reply.status == 200 ? QString::fromUtf8(reply.body) : QString();
}

QStringList KannelRig::SmscLog() const {
    QStringList lines;
    if (options_.smsc == Smsc::Fake) {
        for (const QByteArray& line : ReadAll(folder_ / "fakesmsc.log").split('\n'))
            if (line.contains("Got message ")) lines << QString::fromUtf8(line);
    } else {
        for (const QByteArray& line : ReadAll(folder_ / "smpp-server.log").split('\n'))
            if (!line.isEmpty()) lines << QString::fromUtf8(line);
    }
    return lines;
}

std::vector<SmscMessage> KannelRig::Received() const {
    return Assemble(options_.smsc == Smsc::Fake
                        ? FakeSmscParts(ReadAll(folder_ / "fakesmsc.log"))
                        : SmppServerParts(ReadAll(folder_ / "smpp-server.log")));
}

size_t KannelRig::ReceivedParts() const {
    const bool fake = options_.smsc == Smsc::Fake;
    const std::string marker = fake ? "Got message " : "submit_sm ";
    std::lock_guard lock(countMutex_);
    std::ifstream in(folder_ / (fake ? "fakesmsc.log" : "smpp-server.log"), std::ios::binary);
    in.seekg(0, std::ios::end);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
    if (size < static_cast<std::streamoff>(countedTo_)) countedTo_ = 0, countedParts_ = 0;
    std::string added(static_cast<size_t>(size) - countedTo_, '\0');
    in.seekg(static_cast<std::streamoff>(countedTo_));
    in.read(added.data(), static_cast<std::streamsize>(added.size()));
    // Whole lines only: the last one may still be being written.
    const size_t end = added.rfind('\n');
    if (!in || end == std::string::npos) return countedParts_;
    for (size_t at = added.find(marker); at < end; at = added.find(marker, at + 1))
        ++countedParts_;
    countedTo_ += end + 1;
    return countedParts_;
}

std::vector<SmscMessage> KannelRig::WaitForMessages(size_t count,
                                                    std::chrono::milliseconds timeout) {
    std::vector<SmscMessage> got;
    WaitFor(timeout, [&] {
        got = Received();
        return std::count_if(got.begin(), got.end(), [](const SmscMessage& m) {
                   return m.complete;
               }) >= static_cast<std::ptrdiff_t>(count);
    });
    return got;
}

void KannelRig::Fail(const std::string& what) const {
    std::string message = "Kannel rig: " + what + "\n";
    for (const char* name : {"bearerbox.log", "bearerbox.out", "smsbox.log", "smsbox.out",
                             "fakesmsc.log", "smpp-server.out"})
        if (std::filesystem::exists(folder_ / name)) message += Tail(folder_ / name);
    throw std::runtime_error(message);
}

// --- HttpRecorder

HttpRecorder::HttpRecorder() {
    listener_ = telvoro::testing::ListenOnLoopback(128, port_, "HTTP recorder");
    thread_ = std::thread([this] { Loop(); });
}

HttpRecorder::~HttpRecorder() {
    stop_ = true;
    thread_.join();
    close(listener_);
}

QString HttpRecorder::BaseUrl() const {
    return QString("http://127.0.0.1:%1").arg(port_);
}

std::vector<QByteArray> HttpRecorder::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<QByteArray> HttpRecorder::WaitForRequests(size_t count,
                                                      std::chrono::milliseconds timeout) const {
    WaitFor(timeout, [&] {
        std::lock_guard lock(mutex_);
        return requests_.size() >= count;
    });
    return Requests();
}

void HttpRecorder::Loop() {
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        timeval tv{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        QByteArray request;
        char buffer[4096];
        while (!request.contains("\r\n\r\n")) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            request.append(buffer, n);
        }
        const QList<QByteArray> first = request.left(request.indexOf("\r\n")).split(' ');
        if (first.size() >= 2) {
            std::lock_guard lock(mutex_);
            requests_.push_back(first[1]);
        }
        WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        close(fd);
    }
}

// --- helpers

HttpReply HttpGet(const QString& address, std::chrono::milliseconds timeout) {
    const QUrl url(address);
    const int fd = Connect(url.host(), url.port(80), timeout);
    if (fd < 0) return {};
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty()) target = "/";
    if (url.hasQuery()) target += "?" + url.query(QUrl::FullyEncoded).toLatin1();
    const QByteArray request = "GET " + target + " HTTP/1.0\r\nHost: " + url.host().toLatin1() +
                               ":" + QByteArray::number(url.port(80)) + "\r\n\r\n";
    QByteArray response;
    if (WriteAll(fd, request)) {
        char buffer[8192];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
            response.append(buffer, n);
    }
    close(fd);
    const qsizetype headerEnd = response.indexOf("\r\n\r\n");
    if (!response.startsWith("HTTP/") || headerEnd < 0) return {};
    const QList<QByteArray> statusLine = response.left(response.indexOf("\r\n")).split(' ');
    return {statusLine.size() > 1 ? statusLine[1].toInt() : 0, response.mid(headerEnd + 4)};
}

SendsmsRate MeasureSendsms(const KannelRig& rig, size_t numbers, size_t perRequest, size_t parallel,
                           std::chrono::milliseconds timeout) {
    const size_t before = rig.ReceivedParts();
    const QString base = rig.SendsmsUrl() + "?username=" + rig.User() +
                         "&password=" + rig.Password() + "&from=10690000&text=rate+test&to=";
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::string failure;
    std::mutex failureMutex;
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    for (size_t w = 0; w < parallel; ++w) {
        workers.emplace_back([&] {
            for (size_t first; !failed && (first = next.fetch_add(perRequest)) < numbers;) {
                QStringList to;
                for (size_t i = first; i < std::min(numbers, first + perRequest); ++i)
                    to << QString::number(13800000000LL + static_cast<long long>(i));
                for (;;) {
                    const HttpReply reply = HttpGet(base + to.join("+"));
                    if (reply.status == 503) {
                        std::this_thread::sleep_for(50ms);
                        continue;
                    }
                    if (reply.status != 202 && reply.status != 200) {
                        std::lock_guard lock(failureMutex);
                        failure = std::to_string(reply.status) + " " + reply.body.toStdString();
                        failed = true;
                    }
                    break;
                }
            }
        });
    }
    for (std::thread& t : workers)
        t.join();
    if (failed) throw std::runtime_error("sendsms refused: " + failure);
    if (!WaitFor(timeout, [&] { return rig.ReceivedParts() - before >= numbers; }))
        throw std::runtime_error("the SMSC got " + std::to_string(rig.ReceivedParts() - before) +
                                 " of " + std::to_string(numbers) + " messages");
    return {numbers, std::chrono::duration<double>(Clock::now() - start).count()};
}

// Below the system's ephemeral range (32768 and up): a port picked now cannot
// be taken by some outgoing connection before Kannel binds it, or while a
// server restarts on it.
int FreePort() {
    std::random_device random;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int port = 10000 + static_cast<int>(random() % 20000);
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        const bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        if (free) return port;
    }
    throw std::runtime_error("no free port");
}

bool PortOpen(int port) {
    const int fd = Connect("127.0.0.1", port, 1s);
    if (fd < 0) return false;
    close(fd);
    return true;
}

} // namespace telvoro::test
