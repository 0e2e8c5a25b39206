#include "smsd/Options.h"

#include "core/FileIO.h"

#include <QHostInfo>
#include <QMap>
#include <QStringList>

#include <filesystem>
#include <set>

namespace telvoro::smsd {

const char* const kUsage =
    "usage: telvoro-smsd [--config FILE] [--db DATASOURCE] --kannel URL --kannel-user USER\n"
    "                    --kannel-password-file FILE --listen HOST:PORT [--sender TEXT]\n"
    "                    [--worker NAME] [--refund] [--validity SECONDS] [--lease SECONDS]\n"
    "                    [--drains N] [--report-url URL] [--kannel-conf FILE]\n"
    "                    [--refund-unknown]\n"
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
    "  --drains    rows handed to Kannel at the same time (4)\n"
    "  --report-url  the report address Kannel is given, when not this worker's --listen:\n"
    "              a name in front of every worker (http://HOST:PORT/dlr), so the reports of\n"
    "              a worker that stopped for good reach another\n"
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
                                    "refund-unknown",
                                    "kannel-conf"};

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
        } else if (key == "refund" || key == "refund-unknown") {
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
    const QString listen = need("listen");
    const qsizetype colon = listen.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    const int port = colon > 0 ? listen.mid(colon + 1).toInt(&portOk) : 0;
    QString host = colon > 0 ? listen.left(colon) : QString();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (!portOk || port < 1 || port > 65535 || !s.listenHost.setAddress(host))
        throw UsageError("--listen needs HOST:PORT with an IP address, e.g. 127.0.0.1:13080");
    s.listenPort = static_cast<quint16>(port);
    s.kannel.sender = values.value(QStringLiteral("sender"));
    s.worker = values.value(QStringLiteral("worker"), QHostInfo::localHostName());
    if (s.worker.isEmpty() || s.worker.size() > 90)
        throw UsageError("--worker needs a name of 1 to 90 characters");
    const QString refund = values.value(QStringLiteral("refund"), QStringLiteral("false"));
    if (refund != QLatin1String("true") && refund != QLatin1String("false"))
        throw UsageError("refund takes true or false");
    s.refund = refund == QLatin1String("true");
    const QString unknown = values.value(QStringLiteral("refund-unknown"), QStringLiteral("false"));
    if (unknown != QLatin1String("true") && unknown != QLatin1String("false"))
        throw UsageError("refund-unknown takes true or false");
    s.refundUnknown = unknown == QLatin1String("true");
    if (s.refundUnknown && !s.refund) throw UsageError("--refund-unknown needs --refund");
    if (values.contains(QStringLiteral("kannel-conf"))) {
        const QString path = values.value(QStringLiteral("kannel-conf"));
        try {
            s.kannelConfig = ReadKannelConfig(path, s.kannel.user);
        } catch (const Error& e) {
            throw UsageError("--kannel-conf " + path.toStdString() + ": " + e.what());
        }
    }
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
