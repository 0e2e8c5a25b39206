#include "smsd/Options.h"

#include "core/FileIO.h"

#include <QHostInfo>
#include <QMap>
#include <QStringList>
#include <QTimeZone>

#include <filesystem>
#include <set>

namespace telvoro::smsd {

const char* const kUsage =
    "usage: telvoro-smsd [--config FILE] [--db DATASOURCE] --kannel URL --kannel-user USER\n"
    "                    --kannel-password-file FILE --listen HOST:PORT [--sender TEXT]\n"
    "                    [--worker NAME] [--refund] [--validity SECONDS] [--lease SECONDS]\n"
    "                    [--drains N] [--report-url URL] [--mo-secret-file FILE]\n"
    "                    [--send-window HH:MM-HH:MM] [--time-zone ZONE] [--daily-cap N]\n"
    "       telvoro-smsd --print-kannel-service --listen HOST:PORT --mo-secret-file FILE\n"
    "  --db        sqlite:PATH | postgresql://HOST[:PORT] | HOST[\\INSTANCE][,PORT] | odbc:...\n"
    "              (default: Orvanta.db in the current folder)\n"
    "  --kannel    Kannel's sendsms URL, e.g. http://127.0.0.1:13013/cgi-bin/sendsms\n"
    "  --listen    where delivery reports come in; the dlr-url given to Kannel points there\n"
    "  --worker    this worker's name (default: the host name); unique per running worker\n"
    "  --refund    give the units of a rejected, undelivered or invalid number back\n"
    "  --validity  seconds after which a number without a final report is unknown (172800)\n"
    "  --lease     seconds after which another worker takes over a dead worker's row (60)\n"
    "  --drains    rows handed to Kannel at the same time (4)\n"
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
    "  config file: KEY = VALUE lines with the same keys, # comments\n";

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
                                    "mo-secret-file",
                                    "refusal-words",
                                    "send-window",
                                    "time-zone",
                                    "daily-cap",
                                    "print-kannel-service"};

void ReadConfig(const std::string& path, QMap<QString, QString>& values) {
    const std::string bytes =
        ReadWholeFile(std::filesystem::path(std::u8string(path.begin(), path.end())));
    int lineNo = 0;
    for (const QString& raw : QString::fromUtf8(bytes).split(QLatin1Char('\n'))) {
        ++lineNo;
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const QString key = line.left(eq).trimmed();
        if (eq < 0 || !kValued.count(key.toStdString()))
            throw UsageError(path + ":" + std::to_string(lineNo) +
                             ": not a known KEY = VALUE line");
        if (key == QLatin1String("kannel-password"))
            throw UsageError("the password is taken from kannel-password-file only");
        QString value = line.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) &&
            value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        if (!values.contains(key)) values.insert(key, value);
    }
}

void ReadListen(const QString& listen, Settings& s) {
    const qsizetype colon = listen.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    const int port = colon > 0 ? listen.mid(colon + 1).toInt(&portOk) : 0;
    QString host = colon > 0 ? listen.left(colon) : QString();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (!portOk || port < 1 || port > 65535 || !s.listenHost.setAddress(host))
        throw UsageError("--listen needs HOST:PORT with an IP address, e.g. 127.0.0.1:13080");
    s.listenPort = static_cast<quint16>(port);
}

// The inbound secret, refusal words, sending window, zone and daily cap.
void ReadMoOptions(const QMap<QString, QString>& values, Settings& s) {
    if (const QString file = values.value(QStringLiteral("mo-secret-file")); !file.isEmpty()) {
        const std::string name = file.toStdString();
        const std::filesystem::path path(std::u8string(name.begin(), name.end()));
        const std::string bytes = ReadWholeFile(path);
        // The secret guards what Kannel hands over: only its owner reads it.
        using std::filesystem::perms;
        const perms mode = std::filesystem::status(path).permissions();
        if ((mode & (perms::group_all | perms::others_all)) != perms::none)
            throw UsageError("the inbound secret file " + file.toStdString() +
                             " is readable by others: chmod 600 it");
        QString secret = QString::fromUtf8(bytes).split(QLatin1Char('\n')).value(0).trimmed();
        if (secret.size() < 16)
            throw UsageError("the inbound secret in " + file.toStdString() +
                             " needs at least 16 characters");
        s.moSecret = secret;
    }
    if (values.contains(QStringLiteral("refusal-words"))) {
        QStringList words;
        for (const QString& w :
             values.value(QStringLiteral("refusal-words")).split(QLatin1Char(',')))
            if (!w.trimmed().isEmpty()) words << w.trimmed().toUpper();
        if (words.isEmpty()) throw UsageError("refusal-words needs at least one word");
        s.refusalWords = words;
    }
    if (values.contains(QStringLiteral("send-window"))) {
        s.window = SendWindow::Parse(values.value(QStringLiteral("send-window")));
        if (!s.window) throw UsageError("--send-window needs HH:MM-HH:MM, e.g. 08:00-20:00");
    }
    if (values.contains(QStringLiteral("time-zone"))) {
        s.zone = QTimeZone(values.value(QStringLiteral("time-zone")).toLatin1());
        if (!s.zone.isValid())
            throw UsageError("--time-zone needs a zone name, e.g. Asia/Shanghai");
    }
    if (values.contains(QStringLiteral("daily-cap"))) {
        bool ok = false;
        s.dailyCap = values.value(QStringLiteral("daily-cap")).toInt(&ok);
        if (!ok || s.dailyCap < 1 || s.dailyCap > 10000)
            throw UsageError("--daily-cap takes 1 to 10000");
    }
}

long long Seconds(const QString& key, const QString& text) {
    bool ok = false;
    const long long v = text.toLongLong(&ok);
    if (!ok || v <= 0 || v > 10LL * 365 * 86400)
        throw UsageError("--" + key.toStdString() + " needs a number of seconds");
    return v;
}

} // namespace

Settings ParseOptions(const std::vector<std::string>& args) {
    QMap<QString, QString> values;
    std::string config;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0) throw UsageError("unexpected argument " + a);
        std::string key = a.substr(2), value;
        if (const auto eq = key.find('='); eq != std::string::npos) {
            value = key.substr(eq + 1);
            key.resize(eq);
        } else if (key == "refund" || key == "print-kannel-service") {
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
        values.insert(QString::fromStdString(key), QString::fromStdString(value));
    }
    if (!config.empty()) ReadConfig(config, values);

    const auto need = [&](const char* key) {
        const QString v = values.value(QString::fromLatin1(key));
        if (v.isEmpty()) throw UsageError(std::string("--") + key + " is required");
        return v;
    };
    Settings s;
    s.printKannelService = values.value(QStringLiteral("print-kannel-service")) == "true";
    ReadMoOptions(values, s);
    if (s.printKannelService) {
        if (s.moSecret.isEmpty()) throw UsageError("--print-kannel-service needs --mo-secret-file");
        ReadListen(need("listen"), s);
        return s;
    }
    s.source = ParseDataSource(values.value(QStringLiteral("db")).toStdString(),
                               ProgramFolder(std::filesystem::current_path()));
    s.kannel.sendsms = QUrl(need("kannel"), QUrl::StrictMode);
    if (!s.kannel.sendsms.isValid() || s.kannel.sendsms.scheme() != QLatin1String("http"))
        throw UsageError("--kannel needs an http:// URL of Kannel's sendsms");
    s.kannel.user = need("kannel-user");
    const std::string passwordFile = need("kannel-password-file").toStdString();
    {
        const std::string bytes = ReadWholeFile(
            std::filesystem::path(std::u8string(passwordFile.begin(), passwordFile.end())));
        QString password = QString::fromUtf8(bytes);
        const qsizetype nl = password.indexOf(QLatin1Char('\n'));
        if (nl >= 0) password.truncate(nl);
        if (password.endsWith(QLatin1Char('\r'))) password.chop(1);
        if (password.isEmpty())
            throw UsageError("the Kannel password file " + passwordFile + " is empty");
        s.kannel.password = password;
    }
    ReadListen(need("listen"), s);
    s.kannel.sender = values.value(QStringLiteral("sender"));
    s.worker = values.value(QStringLiteral("worker"), QHostInfo::localHostName());
    if (s.worker.isEmpty() || s.worker.size() > 90)
        throw UsageError("--worker needs a name of 1 to 90 characters");
    const QString refund = values.value(QStringLiteral("refund"), QStringLiteral("false"));
    if (refund != QLatin1String("true") && refund != QLatin1String("false"))
        throw UsageError("refund takes true or false");
    s.refund = refund == QLatin1String("true");
    if (values.contains(QStringLiteral("validity")))
        s.validity = std::chrono::seconds(
            Seconds(QStringLiteral("validity"), values.value(QStringLiteral("validity"))));
    if (values.contains(QStringLiteral("lease")))
        s.lease = std::chrono::seconds(
            Seconds(QStringLiteral("lease"), values.value(QStringLiteral("lease"))));
    if (values.contains(QStringLiteral("report-url"))) {
        s.reportUrl = QUrl(values.value(QStringLiteral("report-url")), QUrl::StrictMode);
        if (!s.reportUrl.isValid() || s.reportUrl.scheme() != QLatin1String("http") ||
            s.reportUrl.host().isEmpty() || s.reportUrl.hasQuery())
            throw UsageError("--report-url needs an http URL without a query, e.g. "
                             "http://10.0.0.5:13080/dlr");
    }
    if (values.contains(QStringLiteral("drains"))) {
        bool ok = false;
        s.drains = values.value(QStringLiteral("drains")).toInt(&ok);
        if (!ok || s.drains < 1 || s.drains > 32) throw UsageError("--drains takes 1 to 32");
    }
    return s;
}

} // namespace telvoro::smsd
