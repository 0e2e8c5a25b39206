#include "smsd/KannelClient.h"

#include <QTcpSocket>

#include <future>
#include <memory>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>

namespace telvoro::smsd {

bool FitsGsm7(const QString& text) {
    // GSM 03.38 default alphabet (beyond printable ASCII less the few it lacks)
    // and the extension table's characters.
    static const QString extra =
        QStringLiteral("\n\r £¥èéùìòÇØøÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ¤¡ÄÖÑÜ§¿äöñüà^{}\\[~]|€");
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u < 0x7F && u != '`') continue;
        if (!extra.contains(c)) return false;
    }
    return true;
}

namespace {

QString Encoded(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toPercentEncoding());
}

} // namespace

QUrl SendsmsUrl(const KannelSettings& s, qint64 id, int round, const QString& secret,
                const QStringList& to, const QString& text, const QString& from) {
    // Kannel fills in %p (the receiver), %d (the report type) and %A (the
    // SMSC's text); the row, the round and the secret find the number.
    // Written out by hand: QUrl would escape the "%" of Kannel's codes.
    const QString report = s.reportBase.toString(QUrl::FullyEncoded | QUrl::RemoveQuery) +
                           QStringLiteral("?r=%1&g=%2&k=%3").arg(id).arg(round).arg(secret) +
                           QStringLiteral("&p=%p&t=%d&a=%A");
    const bool gsm = FitsGsm7(text);
    const QByteArray body = gsm ? text.toUtf8() : [&] {
        QByteArray b;
        for (const QChar c : text) {
            b.append(char(c.unicode() >> 8));
            b.append(char(c.unicode() & 0xFF));
        }
        return b;
    }();
    QString query = QStringLiteral("username=") + Encoded(s.user.toUtf8()) +
                    QStringLiteral("&password=") + Encoded(s.password.toUtf8()) +
                    QStringLiteral("&to=") + Encoded(to.join(QLatin1Char(' ')).toUtf8()) +
                    QStringLiteral("&text=") + Encoded(body) +
                    (gsm ? QStringLiteral("&coding=0&charset=UTF-8")
                         : QStringLiteral("&coding=2&charset=UTF-16BE")) +
                    QStringLiteral("&dlr-mask=31&dlr-url=") + Encoded(report.toUtf8());
    // smsbox's global-sender stays unset (it would also replace the number
    // inbound messages were sent to): the sender goes with every request.
    const QString sender = from.isEmpty() ? s.sender : from;
    if (!sender.isEmpty()) query += QStringLiteral("&from=") + Encoded(sender.toUtf8());
    QUrl url = s.sendsms;
    url.setQuery(query, QUrl::StrictMode);
    return url;
}

Answer Classify(int httpStatus, const QString& body, int numbers, bool connected, bool timedOut,
                const QString& networkError) {
    Answer a;
    a.httpStatus = httpStatus;
    a.text = body.trimmed().left(200);
    if (httpStatus == 0) {
        a.text = networkError;
        // Without a connection nothing can have been taken; once the request
        // may have left, only a report can tell.
        a.outcome = connected || timedOut ? Outcome::Uncertain : Outcome::TryLater;
        return a;
    }
    const QString trimmed = body.trimmed();
    // Kannel hands a request's numbers to its core one by one and answers with
    // the verdict on the first alone: a refusal of the first says nothing of
    // the others, which may be on their way.
    const auto forOne = [&](Outcome one) { return numbers > 1 ? Outcome::Uncertain : one; };
    if (httpStatus >= 200 && httpStatus < 300) {
        const bool taken = trimmed.startsWith(QLatin1String("0:")) ||
                           trimmed.startsWith(QLatin1String("3:")) ||
                           trimmed.startsWith(QLatin1String("Sent."));
        a.outcome = taken ? Outcome::Accepted : Outcome::Uncertain;
    } else if (httpStatus == 403 && trimmed.startsWith(QLatin1String("Authorization failed"))) {
        // A wrong user or password: nothing was looked at, and refusing the
        // whole queue for it would be wrong.
        a.outcome = Outcome::TryLater;
    } else if (httpStatus == 503) {
        a.outcome = forOne(Outcome::TryLater);
    } else if (httpStatus == 500 && trimmed.startsWith(QLatin1String("Sending failed."))) {
        // The numbers named never reached Kannel's core; the others did.
        static const QLatin1String named("Failed receivers are:");
        const qsizetype at = trimmed.indexOf(named);
        if (at >= 0) {
            a.failed = trimmed.mid(at + named.size()).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            a.outcome = Outcome::Accepted;
        } else {
            a.outcome = forOne(Outcome::TryLater);
        }
    } else if (httpStatus == 403) {
        a.outcome = forOne(Outcome::Refused); // "Not routable. Do not try again."
    } else if (httpStatus >= 400 && httpStatus < 500) {
        a.outcome = Outcome::Refused; // the request itself, before any number was looked at
    } else {
        a.outcome = Outcome::Uncertain;
    }
    return a;
}

namespace {

// The addresses of a host name, as text; none when it does not resolve.
std::vector<std::string> LookUp(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::vector<std::string> out;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return out;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* where =
            a->ai_family == AF_INET
                ? static_cast<const void*>(
                      &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr)
                : static_cast<const void*>(
                      &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr);
        if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) &&
            inet_ntop(a->ai_family, where, text, sizeof text))
            out.emplace_back(text);
    }
    freeaddrinfo(found);
    return out;
}

} // namespace

KannelClient::KannelClient(KannelSettings settings, const std::atomic<bool>* stop)
    : settings_(std::move(settings)), stop_(stop) {}

Answer KannelClient::Send(qint64 id, int round, const QString& secret, const QStringList& to,
                          const QString& text, const QString& from) {
    const QUrl url = SendsmsUrl(settings_, id, round, secret, to, text, from);
    auto deadline = std::chrono::steady_clock::now() + settings_.timeout;
    bool stopping = false;
    const auto left = [&] {
        const auto now = std::chrono::steady_clock::now();
        if (!stopping && stop_ && *stop_) {
            stopping = true;
            deadline = std::min(deadline, now + kStopGrace);
        }
        return static_cast<int>(std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()));
    };
    // Waits in short steps, so that a stop is seen while waiting.
    const auto step = [&] { return std::min(left(), 100); };
    const int numbers = static_cast<int>(to.size());
    // The name is looked up within the time limit too, on a thread of its own:
    // a socket asked to wait for its connection waits on the resolver for as
    // long as that takes. A lookup that hangs is left to finish there, with
    // the C library alone. Its answer serves until a connection fails.
    if (QHostAddress literal(url.host()); !literal.isNull()) {
        addresses_ = {literal};
    } else if (addresses_.isEmpty()) {
        auto lookup = std::make_shared<std::promise<std::vector<std::string>>>();
        std::future<std::vector<std::string>> found = lookup->get_future();
        std::thread([lookup, host = url.host().toStdString()] {
            lookup->set_value(LookUp(host));
        }).detach();
        while (left() > 0 &&
               found.wait_for(std::chrono::milliseconds(step())) != std::future_status::ready) {
        }
        if (found.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
            return Classify(0, {}, numbers, false, false,
                            QStringLiteral("cannot look up %1 in time").arg(url.host()));
        for (const std::string& a : found.get())
            addresses_ << QHostAddress(QString::fromStdString(a));
        if (addresses_.isEmpty())
            return Classify(0, {}, numbers, false, false,
                            QStringLiteral("cannot look up %1").arg(url.host()));
    }
    QTcpSocket socket;
    QString refused;
    for (const QHostAddress& address : std::as_const(addresses_)) {
        socket.connectToHost(address, static_cast<quint16>(url.port(80)));
        // In one wait: a connection still being made is dropped when its wait runs out.
        if (socket.waitForConnected(left())) break;
        refused = socket.errorString();
        socket.abort();
    }
    if (socket.state() != QAbstractSocket::ConnectedState) {
        addresses_.clear(); // the name may have moved: looked up again next time
        return Classify(0, {}, numbers, false, false, refused);
    }
    const QByteArray request = "GET " + url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) +
                               " HTTP/1.0\r\nHost: " + url.host().toUtf8() + ':' +
                               QByteArray::number(url.port(80)) + "\r\n\r\n";
    socket.write(request);
    // From here on the request may have been taken.
    QByteArray response;
    while (socket.state() == QAbstractSocket::ConnectedState && left() > 0) {
        if (socket.waitForReadyRead(step())) response += socket.readAll();
    }
    response += socket.readAll();
    const bool timedOut = socket.state() == QAbstractSocket::ConnectedState;
    if (timedOut && stopping) {
        Answer a;
        a.stopped = true;
        a.text = QStringLiteral("no answer from Kannel before stopping");
        return a;
    }
    // "HTTP/1.x NNN reason" then headers, a blank line and the body.
    int status = 0;
    QString body;
    const qsizetype end = response.indexOf("\r\n\r\n");
    if (response.startsWith("HTTP/") && end > 0) {
        const QList<QByteArray> first = response.left(response.indexOf("\r\n")).split(' ');
        if (first.size() >= 2) status = first[1].toInt();
        body = QString::fromUtf8(response.mid(end + 4));
    }
    return Classify(status, body, numbers, true, timedOut,
                    timedOut ? QStringLiteral("no answer from Kannel within %1 s")
                                   .arg(settings_.timeout.count() / 1000)
                             : QStringLiteral("Kannel closed the connection without an answer"));
}

} // namespace telvoro::smsd
