#include "smsd/KannelWatch.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "smsd/KannelClient.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpSocket>
#include <QXmlStreamReader>

#include <filesystem>

namespace telvoro::smsd {

namespace {

QString Unquoted(QString value) {
    value = value.trimmed();
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
        value = value.mid(1, value.size() - 2);
    return value;
}

// "0d 0h 1m 9s" as seconds; -1 when it is none.
qint64 Uptime(const QString& text) {
    static const QRegularExpression re(QStringLiteral("(\\d+)d (\\d+)h (\\d+)m (\\d+)s"));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch()) return -1;
    return ((m.captured(1).toLongLong() * 24 + m.captured(2).toLongLong()) * 60 +
            m.captured(3).toLongLong()) *
               60 +
           m.captured(4).toLongLong();
}

QByteArray Get(const QUrl& url, std::chrono::milliseconds timeout) {
    QTcpSocket socket;
    socket.connectToHost(url.host(), static_cast<quint16>(url.port(80)));
    if (!socket.waitForConnected(static_cast<int>(timeout.count()))) return {};
    socket.write("GET " + url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) +
                 " HTTP/1.0\r\nHost: " + url.host().toUtf8() + "\r\n\r\n");
    QByteArray response;
    while (socket.state() == QAbstractSocket::ConnectedState &&
           socket.waitForReadyRead(static_cast<int>(timeout.count())))
        response += socket.readAll();
    response += socket.readAll();
    const qsizetype end = response.indexOf("\r\n\r\n");
    if (!response.startsWith("HTTP/1.") || response.mid(9, 3) != "200" || end < 0) return {};
    return response.mid(end + 4);
}

} // namespace

KannelConfig ReadKannelConfig(const QString& path, const QString& user) {
    const std::string bytes = ReadWholeFile(std::filesystem::path(path.toStdU16String()));
    KannelConfig c;
    QString group, host = QStringLiteral("127.0.0.1");
    int port = 0;
    // A group's keys until the next "group =" line; smsbox's keys and the
    // sendsms-user's are read where they belong.
    std::map<QString, QString> keys;
    const auto close = [&] {
        if (group == QLatin1String("core")) {
            port = keys[QStringLiteral("admin-port")].toInt();
            c.adminPassword = keys[QStringLiteral("admin-password")];
            const QString iface = keys[QStringLiteral("admin-interface")];
            if (!iface.isEmpty() && iface != QLatin1String("0.0.0.0")) host = iface;
        } else if (group == QLatin1String("smsbox")) {
            c.reportRetries = keys[QStringLiteral("http-request-retry")].toInt();
            c.reportDelay = keys[QStringLiteral("http-queue-delay")].toInt();
        } else if (group == QLatin1String("sendsms-user") &&
                   keys[QStringLiteral("username")] == user) {
            const QString most = keys[QStringLiteral("max-messages")];
            if (!most.isEmpty()) c.maxMessages = most.toInt();
        }
        keys.clear();
    };
    for (const QString& raw : QString::fromUtf8(bytes).split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0) continue;
        const QString key = line.left(eq).trimmed().toLower();
        const QString value = Unquoted(line.mid(eq + 1));
        if (key == QLatin1String("group")) {
            close();
            group = value;
        } else {
            keys[key] = value;
        }
    }
    close();
    if (port > 0) {
        c.admin.setScheme(QStringLiteral("http"));
        c.admin.setHost(host);
        c.admin.setPort(port);
    }
    return c;
}

std::chrono::milliseconds CheckGrace(const KannelConfig& config) {
    return std::chrono::seconds(2LL * std::max(1, config.reportDelay) + 10);
}

int PartsOf(const QString& text) {
    if (FitsGsm7(text)) {
        static const QString extended = QStringLiteral("^{}\\[~]|€\f");
        qsizetype septets = 0;
        for (const QChar c : text)
            septets += extended.contains(c) ? 2 : 1;
        return septets <= 160 ? 1 : static_cast<int>((septets + 152) / 153);
    }
    const qsizetype units = text.size(); // UTF-16 code units, as UCS-2 counts them
    return units <= 70 ? 1 : static_cast<int>((units + 66) / 67);
}

std::optional<KannelStatus> ParseStatusXml(const QByteArray& xml) {
    QXmlStreamReader r(xml);
    KannelStatus s;
    bool gateway = false;
    QString boxType;
    QStringList path;
    while (!r.atEnd()) {
        r.readNext();
        if (r.isStartElement()) {
            path << r.name().toString();
            if (path == QStringList{QStringLiteral("gateway"), QStringLiteral("status")}) {
                s.bearerboxUp = Uptime(r.readElementText());
                gateway = s.bearerboxUp >= 0;
                path.removeLast();
            } else if (path.size() == 4 && path[2] == QLatin1String("box")) {
                const QString text = r.readElementText();
                path.removeLast();
                if (r.name() == QLatin1String("type")) boxType = text;
                if (r.name() == QLatin1String("status") && boxType == QLatin1String("smsbox")) {
                    const qint64 up = Uptime(text);
                    if (up >= 0 && (s.smsboxUp < 0 || up < s.smsboxUp)) s.smsboxUp = up;
                }
            }
        } else if (r.isEndElement()) {
            if (!path.isEmpty()) path.removeLast();
            if (r.name() == QLatin1String("box")) boxType.clear();
        }
    }
    if (r.hasError() || !gateway) return std::nullopt;
    return s;
}

std::multimap<QString, qint64> ParseStoreXml(const QByteArray& xml) {
    std::multimap<QString, qint64> stored;
    QXmlStreamReader r(xml);
    QString receiver, time, type;
    while (!r.atEnd()) {
        r.readNext();
        if (r.isStartElement() && r.name() == QLatin1String("receiver"))
            receiver = r.readElementText();
        else if (r.isStartElement() && r.name() == QLatin1String("time"))
            time = r.readElementText();
        else if (r.isStartElement() && r.name() == QLatin1String("type"))
            type = r.readElementText();
        else if (r.isEndElement() && r.name() == QLatin1String("message")) {
            // The store holds the reports on their way to smsbox too (DLR-MO),
            // addressed to the same receiver: only a message to be sent is one.
            if (!type.startsWith(QLatin1String("DLR")) && type != QLatin1String("MO")) {
                const QDateTime at =
                    QDateTime::fromString(time, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
                // A time that cannot be read counts as taken now: it keeps the number.
                stored.emplace(receiver, at.isValid() ? at.toMSecsSinceEpoch()
                                                      : QDateTime::currentMSecsSinceEpoch());
            }
            receiver.clear();
            time.clear();
            type.clear();
        }
    }
    if (r.hasError())
        throw Error("Kannel's store-status page cannot be read: " + r.errorString().toStdString());
    return stored;
}

std::optional<queue::KannelFacts> KannelWatch::Facts(std::chrono::milliseconds timeout,
                                                     bool withStore) {
    if (config_.admin.isEmpty()) return std::nullopt;
    const auto page = [&](const char* name) {
        QUrl url = config_.admin;
        url.setPath(QLatin1Char('/') + QLatin1String(name));
        url.setQuery(QStringLiteral("password=") +
                     QString::fromLatin1(config_.adminPassword.toUtf8().toPercentEncoding()));
        return Get(url, timeout);
    };
    queue::KannelFacts f;
    f.at = QDateTime::currentMSecsSinceEpoch();
    const std::optional<KannelStatus> status = ParseStatusXml(page("status.xml"));
    const qint64 answered = QDateTime::currentMSecsSinceEpoch();
    if (!status || status->smsboxUp < 0) return std::nullopt;
    // The page was made between asking and the answer, its uptime cut to the second.
    const qint64 up = 1000 * std::min(status->bearerboxUp, status->smsboxUp);
    const qint64 low = f.at - up - 1000, high = answered - up;
    if (low > startHigh_ || high < startLow_) {
        startLow_ = low;
        startHigh_ = high;
    } else {
        startLow_ = std::max(startLow_, low);
        startHigh_ = std::min(startHigh_, high);
    }
    f.storeLooked = withStore;
    if (withStore) {
        const QByteArray store = page("store-status.xml");
        if (!store.contains("<gateway")) return std::nullopt;
        f.stored = ParseStoreXml(store);
    }
    f.runningSince = startHigh_; // the latest it may have started
    f.reportWindow = config_.ReportWindow().count();
    f.grace = CheckGrace(config_).count();
    return f;
}

} // namespace telvoro::smsd
