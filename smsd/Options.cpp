#include "smsd/Options.h"

#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QStringList>
#include <QTimeZone>

#include <filesystem>
#include <map>
#include <set>

namespace telvoro::smsd {

const char* const kUsage =
    "usage: telvoro-smsd [--config FILE] [--db DATASOURCE] --kannel URL --kannel-user USER\n"
    "                    --kannel-password-file FILE --listen HOST:PORT [--sender TEXT]\n"
    "                    [--worker NAME] [--refund] [--validity SECONDS] [--lease SECONDS]\n"
    "                    [--drains N] [--report-url URL] [--poll MS] [--mo-secret-file FILE]\n"
    "                    [--send-window HH:MM-HH:MM] [--time-zone ZONE] [--daily-cap N]\n"
    "       telvoro-smsd --print-kannel-service --listen HOST:PORT --mo-secret-file FILE\n"
    "                    [--kannel-conf FILE] [--refund-unknown]\n"
    "  --db        sqlite:PATH | postgresql://HOST[:PORT] | HOST[\\INSTANCE][,PORT] | odbc:...\n"
    "              (default: Orvanta.db in the current folder)\n"
    "  --kannel    Kannel's sendsms URL, e.g. http://127.0.0.1:13013/cgi-bin/sendsms\n"
    "  --listen    where delivery reports come in; the dlr-url given to Kannel points there\n"
    "  --worker    this worker's name (default: the host name); unique per running worker\n"
    "  --refund    give the units of a rejected, undelivered or invalid number back\n"
    "  --refund-unknown  with --refund, give back the units of a number that ends unknown\n"
    "              too (it may have been delivered)\n"
    "  --kannel-conf  Kannel's kannel.conf: its admin interface, smsbox's report retries\n"
    "              and the parts it sends of one text; a number caught being submitted when\n"
    "              this worker died is checked with Kannel instead of ending unknown\n"
    "  --validity  seconds after which a number without a final report is unknown (172800)\n"
    "  --lease     seconds after which another worker takes over a dead worker's row (60)\n"
    "  --drains    rows handed to Kannel at the same time (8)\n"
    "  --poll      milliseconds between looks at an empty queue when no new row woke the\n"
    "              drains (500); a new row wakes them within about 10 ms\n"
    "  --report-url  the report address Kannel is given, when not this worker's --listen:\n"
    "              a name in front of every worker (http://HOST:PORT/dlr), so the reports of\n"
    "              a worker that stopped for good reach another\n"
    "  --sender    the sender number of an account without its own (telvoro-admin account\n"
    "              LOGIN --sender NUMBER)\n"
    "  --mo-secret-file  a file (mode 0600) with the secret Kannel's sms-service passes\n"
    "              with each inbound message to /mo on --listen; without it /mo refuses all\n"
    "  --print-kannel-service  print the group = sms-service block for kannel.conf\n"
    "  --send-window  claim rows only between these local times (e.g. 08:00-20:00)\n"
    "  --time-zone the sending window's and daily cap's zone (Asia/Shanghai)\n"
    "  --daily-cap at most N numbers of one account to one phone per local day; the\n"
    "              rest end \"capped\" and are refunded (off by default)\n"
    "  refusal-words (config file only): comma-separated inbound texts that put their\n"
    "              sender on the opt-out list (T,TD,N,R,退订,取消,拒收,STOP,UNSUBSCRIBE)\n"
    "  config file: KEY = VALUE lines with the same keys, each once; # starts a comment\n";

namespace {

const std::set<std::string> kValued{"db",
                                    "kannel",
                                    "kannel-user",
                                    "kannel-password-file",
                                    "listen",
                                    "sender",
                                    "worker",
                                    "validity",
                                    "lease",
                                    "drains",
                                    "refund",
                                    "report-url",
                                    "poll",
                                    "mo-secret-file",
                                    "refusal-words",
                                    "send-window",
                                    "time-zone",
                                    "daily-cap",
                                    "print-kannel-service",
                                    "refund-unknown",
                                    "kannel-conf"};

// A setting's value and where it was given: "" for the command line, else
// FILE:LINE of the config file, so every complaint points at the line to mend.
struct Given {
    QString value;
    std::string where;
};
using Values = std::map<std::string, Given>;

[[noreturn]] void Refuse(const Values& values, const std::string& key, const std::string& what) {
    const auto it = values.find(key);
    if (it == values.end() || it->second.where.empty()) throw UsageError("--" + key + " " + what);
    throw ConfigError(it->second.where + ": " + key + " " + what);
}

// A whole small file, or an error that names the option that named it.
std::string ReadSmallFile(const std::string& path, const std::string& what,
                          const std::string& option) {
    QFile file(QString::fromStdString(path));
    const QFileInfo info(file);
    if (info.isDir() || !file.open(QIODevice::ReadOnly))
        throw ConfigError(
            "cannot read the " + what + " " + path + " (" + option + "): " +
            (info.isDir() ? std::string("it is a folder") : file.errorString().toStdString()));
    return file.read(1 << 20).toStdString();
}

// The text before a comment: "#" at the start or after a blank, outside quotes.
QString WithoutComment(const QString& line) {
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] == QLatin1Char('"')) quoted = !quoted;
        if (line[i] == QLatin1Char('#') && !quoted && (i == 0 || line[i - 1].isSpace()))
            return line.left(i);
    }
    return line;
}

void ReadConfig(const std::string& path, Values& values) {
    const std::string bytes = ReadSmallFile(path, "config file", "--config");
    std::map<std::string, int> seen; // key -> its line in this file
    int lineNo = 0;
    for (const QString& raw : QString::fromUtf8(bytes).split(QLatin1Char('\n'))) {
        const std::string where = path + ":" + std::to_string(++lineNo);
        const QString line = WithoutComment(raw).trimmed();
        if (line.isEmpty()) continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0) throw ConfigError(where + ": not a KEY = VALUE line");
        const std::string key = line.left(eq).trimmed().toStdString();
        if (key == "kannel-password")
            throw ConfigError(where + ": kannel-password: the password is taken from the file "
                                      "that kannel-password-file names, never from here");
        if (!kValued.count(key)) throw ConfigError(where + ": unknown key '" + key + "'");
        if (const auto first = seen.find(key); first != seen.end())
            throw ConfigError(where + ": key '" + key + "' given again (first on line " +
                              std::to_string(first->second) + ")");
        seen[key] = lineNo;
        QString value = line.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) &&
            value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        values.try_emplace(key, Given{value, where}); // the command line wins
    }
}

void ReadListen(const Values& values, const QString& listen, Settings& s) {
    const qsizetype colon = listen.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    const int port = colon > 0 ? listen.mid(colon + 1).toInt(&portOk) : 0;
    QString host = colon > 0 ? listen.left(colon) : QString();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (!portOk || port < 1 || port > 65535 || !s.listenHost.setAddress(host))
        Refuse(values, "listen", "needs HOST:PORT with an IP address, e.g. 127.0.0.1:13080");
    s.listenPort = static_cast<quint16>(port);
}

// The inbound secret, refusal words, sending window, zone and daily cap.
void ReadMoOptions(const Values& values, Settings& s) {
    const auto has = [&](const std::string& key) { return values.count(key) > 0; };
    const auto value = [&](const std::string& key) {
        return has(key) ? values.at(key).value : QString();
    };
    if (const QString file = value("mo-secret-file"); !file.isEmpty()) {
        const std::string name = file.toStdString();
        const std::filesystem::path path(std::u8string(name.begin(), name.end()));
        const std::string bytes =
            ReadSmallFile(name, "inbound secret file",
                          values.at("mo-secret-file").where.empty()
                              ? "--mo-secret-file"
                              : "mo-secret-file at " + values.at("mo-secret-file").where);
        // The secret guards what Kannel hands over: only its owner reads it.
        using std::filesystem::perms;
        const perms mode = std::filesystem::status(path).permissions();
        if ((mode & (perms::group_all | perms::others_all)) != perms::none)
            Refuse(values, "mo-secret-file", "names a file readable by others: chmod 600 " + name);
        QString secret = QString::fromUtf8(bytes).split(QLatin1Char('\n')).value(0).trimmed();
        if (secret.size() < 16)
            Refuse(values, "mo-secret-file", "needs a secret of at least 16 characters in " + name);
        s.moSecret = secret;
    }
    if (has("refusal-words")) {
        QStringList words;
        for (const QString& w : value("refusal-words").split(QLatin1Char(',')))
            if (!w.trimmed().isEmpty()) words << w.trimmed().toUpper();
        if (words.isEmpty()) Refuse(values, "refusal-words", "needs at least one word");
        s.refusalWords = words;
    }
    if (has("send-window")) {
        s.window = SendWindow::Parse(value("send-window"));
        if (!s.window) Refuse(values, "send-window", "needs HH:MM-HH:MM, e.g. 08:00-20:00");
    }
    if (has("time-zone")) {
        s.zone = QTimeZone(value("time-zone").toLatin1());
        if (!s.zone.isValid()) Refuse(values, "time-zone", "needs a zone name, e.g. Asia/Shanghai");
    }
    if (has("daily-cap")) {
        bool ok = false;
        s.dailyCap = value("daily-cap").toInt(&ok);
        if (!ok || s.dailyCap < 1 || s.dailyCap > 10000)
            Refuse(values, "daily-cap", "takes 1 to 10000");
    }
}

std::chrono::seconds Seconds(const Values& values, const std::string& key) {
    bool ok = false;
    const long long v = values.at(key).value.toLongLong(&ok);
    if (!ok || v <= 0 || v > 10LL * 365 * 86400) Refuse(values, key, "needs a number of seconds");
    return std::chrono::seconds(v);
}

} // namespace

Settings ParseOptions(const std::vector<std::string>& args) {
    Values values;
    std::string config;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0) throw UsageError("unexpected argument " + a);
        std::string key = a.substr(2), value;
        if (const auto eq = key.find('='); eq != std::string::npos) {
            value = key.substr(eq + 1);
            key.resize(eq);
        } else if (key == "refund" || key == "refund-unknown" || key == "print-kannel-service") {
            value = "true";
        } else if (key == "kannel-password") {
            throw UsageError("the password is never taken on the command line: use "
                             "--kannel-password-file");
        } else if (key == "config" || kValued.count(key)) {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            value = args[++i];
        }
        if (key == "config") {
            config = value;
            continue;
        }
        if (!kValued.count(key)) throw UsageError("unknown option " + a);
        values[key] = Given{QString::fromStdString(value), {}};
    }
    if (!config.empty()) ReadConfig(config, values);

    const auto has = [&](const std::string& key) { return values.count(key) > 0; };
    const auto value = [&](const std::string& key, const QString& otherwise = {}) {
        return has(key) ? values.at(key).value : otherwise;
    };
    const auto need = [&](const std::string& key) {
        if (value(key).isEmpty()) {
            if (has(key)) Refuse(values, key, "needs a value");
            throw UsageError("--" + key + " is required (or " + key + " = ... in --config FILE)");
        }
        return value(key);
    };
    Settings s;
    s.printKannelService = value("print-kannel-service") == QLatin1String("true");
    ReadMoOptions(values, s);
    if (s.printKannelService) {
        if (s.moSecret.isEmpty()) throw UsageError("--print-kannel-service needs --mo-secret-file");
        ReadListen(values, need("listen"), s);
        return s;
    }
    try {
        s.source = ParseDataSource(value("db").toStdString(),
                                   ProgramFolder(std::filesystem::current_path()));
    } catch (const Error& e) {
        Refuse(values, "db", std::string("is not a data source: ") + e.what());
    }
    s.kannel.sendsms = QUrl(need("kannel"), QUrl::StrictMode);
    if (!s.kannel.sendsms.isValid() || s.kannel.sendsms.scheme() != QLatin1String("http"))
        Refuse(values, "kannel", "needs an http:// URL of Kannel's sendsms");
    s.kannel.user = need("kannel-user");
    const std::string passwordFile = need("kannel-password-file").toStdString();
    {
        const std::string& where = values.at("kannel-password-file").where;
        QString password = QString::fromUtf8(ReadSmallFile(
            passwordFile, "Kannel password file",
            where.empty() ? "--kannel-password-file" : "kannel-password-file at " + where));
        const qsizetype nl = password.indexOf(QLatin1Char('\n'));
        if (nl >= 0) password.truncate(nl);
        if (password.endsWith(QLatin1Char('\r'))) password.chop(1);
        if (password.isEmpty())
            Refuse(values, "kannel-password-file", "names an empty file: " + passwordFile);
        s.kannel.password = password;
    }
    ReadListen(values, need("listen"), s);
    s.kannel.sender = value("sender");
    s.worker = value("worker", QHostInfo::localHostName());
    if (s.worker.isEmpty() || s.worker.size() > 90)
        Refuse(values, "worker", "needs a name of 1 to 90 characters");
    const QString refund = value("refund", QStringLiteral("false"));
    if (refund != QLatin1String("true") && refund != QLatin1String("false"))
        Refuse(values, "refund", "takes true or false");
    s.refund = refund == QLatin1String("true");
    const QString unknown = value("refund-unknown", QStringLiteral("false"));
    if (unknown != QLatin1String("true") && unknown != QLatin1String("false"))
        Refuse(values, "refund-unknown", "takes true or false");
    s.refundUnknown = unknown == QLatin1String("true");
    if (s.refundUnknown && !s.refund) Refuse(values, "refund-unknown", "needs refund");
    if (has("kannel-conf")) {
        const QString path = value("kannel-conf");
        try {
            s.kannelConfig = ReadKannelConfig(path, s.kannel.user);
        } catch (const Error& e) {
            Refuse(values, "kannel-conf", path.toStdString() + ": " + e.what());
        }
    }
    if (has("validity")) s.validity = Seconds(values, "validity");
    if (has("lease")) s.lease = Seconds(values, "lease");
    if (has("report-url")) {
        s.reportUrl = QUrl(value("report-url"), QUrl::StrictMode);
        if (!s.reportUrl.isValid() || s.reportUrl.scheme() != QLatin1String("http") ||
            s.reportUrl.host().isEmpty() || s.reportUrl.hasQuery())
            Refuse(values, "report-url",
                   "needs an http URL without a query, e.g. http://10.0.0.5:13080/dlr");
    }
    if (has("poll")) {
        bool ok = false;
        const int ms = value("poll").toInt(&ok);
        if (!ok || ms < 10 || ms > 60000) Refuse(values, "poll", "takes 10 to 60000 (ms)");
        s.poll = std::chrono::milliseconds(ms);
    }
    if (has("drains")) {
        bool ok = false;
        s.drains = value("drains").toInt(&ok);
        if (!ok || s.drains < 1 || s.drains > 32) Refuse(values, "drains", "takes 1 to 32");
    }
    return s;
}

} // namespace telvoro::smsd
