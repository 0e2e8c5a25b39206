#include "smsd/ReportDoor.h"

#include <QLoggingCategory>
#include <QTcpSocket>
#include <algorithm>

Q_DECLARE_LOGGING_CATEGORY(lcQueue)

namespace telvoro::smsd {

namespace {

using Clock = std::chrono::steady_clock;

// A header's value by its name, case aside; empty when it is not there.
QByteArray HeaderValue(QByteArrayView head, QByteArrayView name) {
    for (QByteArrayView line : head.toByteArray().split('\n')) {
        line = line.trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.first(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return line.sliced(colon + 1).trimmed().toByteArray();
    }
    return {};
}

} // namespace

ReportDoor::ReportDoor(DoorLimits limits) : limits_(limits) {
    // A burst of connections waits in the kernel's queue rather than being
    // dropped there (a dropped one tries again only a second later).
    setListenBacklogSize(limits_.connections);
    QObject::connect(&sweep_, &QTimer::timeout, [this] { Sweep(); });
    sweep_.start(250);
}

ReportDoor::~ReportDoor() {
    // The connections go first, while their record is still here to forget them.
    guests_.clear();
    for (QTcpSocket* socket : findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly)) {
        socket->disconnect();
        socket->abort();
        delete socket;
    }
}

void ReportDoor::incomingConnection(qintptr descriptor) {
    if (static_cast<int>(guests_.size()) >= limits_.connections && !ShedOne()) {
        // Every connection has a report being stored: this one waits its turn
        // (Kannel sends the report again).
        QTcpSocket refused;
        refused.setSocketDescriptor(descriptor);
        refused.abort();
        return;
    }
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    // The socket's own buffer never holds more than one whole request: a
    // client that sends faster waits in its own queue, not in our memory.
    socket->setReadBufferSize(limits_.head + limits_.body + 4096);
    Guest& guest = guests_[socket];
    guest.socket = socket;
    guest.since = Clock::now();
    // Connected before the HTTP server's reader, so a refused request never reaches it.
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { Read(socket); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
        guests_.erase(socket);
        socket->deleteLater();
    });
    addPendingConnection(socket);
}

void ReportDoor::Read(QTcpSocket* socket) {
    auto it = guests_.find(socket);
    if (it == guests_.end()) return;
    // The HTTP server reads all there is at each turn (within its
    // transaction), so what is available now has not been followed yet.
    const QByteArray fresh = socket->peek(socket->bytesAvailable());
    Follow(it->second, fresh);
}

bool ReportDoor::Follow(Guest& guest, QByteArrayView bytes) {
    while (!bytes.isEmpty()) {
        if (guest.phase == Phase::Idle) {
            guest.phase = Phase::Head;
            guest.since = Clock::now();
            guest.head.clear();
        }
        if (guest.phase == Phase::Head) {
            const qsizetype before = guest.head.size();
            const qsizetype take = std::min<qsizetype>(bytes.size(), limits_.head + 1 - before);
            guest.head.append(bytes.first(take));
            // The end may straddle two reads: look from a little before.
            const qsizetype end =
                guest.head.indexOf("\r\n\r\n", std::max<qsizetype>(0, before - 3));
            const qsizetype lineEnd = guest.head.indexOf('\n');
            if ((lineEnd < 0 ? guest.head.size() : lineEnd) > limits_.requestLine) {
                Refuse(guest, "414 URI Too Long");
                return false;
            }
            if (end < 0) {
                if (guest.head.size() > limits_.head) {
                    Refuse(guest, "431 Request Header Fields Too Large");
                    return false;
                }
                return true; // all taken; more to come
            }
            const qsizetype used = end + 4 - before;
            guest.head.truncate(end + 4);
            if (!HeadComplete(guest, end)) return false;
            bytes = bytes.sliced(used);
            continue;
        }
        const qint64 take = std::min<qint64>(bytes.size(), guest.bodyLeft);
        guest.bodyLeft -= take;
        bytes = bytes.sliced(take);
        if (guest.bodyLeft == 0) {
            guest.phase = Phase::Idle;
            guest.since = Clock::now();
        }
    }
    return true;
}

bool ReportDoor::HeadComplete(Guest& guest, qsizetype end) {
    const QByteArrayView head = QByteArrayView(guest.head).first(end);
    if (!HeaderValue(head, "Transfer-Encoding").isEmpty()) {
        // Kannel never sends a body in parts; a length must be given.
        Refuse(guest, "411 Length Required");
        return false;
    }
    const QByteArray length = HeaderValue(head, "Content-Length");
    bool ok = true;
    const qint64 body = length.isEmpty() ? 0 : length.toLongLong(&ok);
    if (!ok || body < 0) {
        Refuse(guest, "400 Bad Request");
        return false;
    }
    if (body > limits_.body) {
        Refuse(guest, "413 Content Too Large");
        return false;
    }
    guest.bodyLeft = body;
    guest.phase = body > 0 ? Phase::Body : Phase::Idle;
    if (guest.phase == Phase::Idle) guest.since = Clock::now();
    return true;
}

void ReportDoor::Refuse(Guest& guest, QByteArrayView status) {
    QTcpSocket* socket = guest.socket.data();
    if (socket == nullptr) return;
    // One line now and then, not one per knock: a flood must not fill the journal.
    const auto now = Clock::now();
    if (now - lastLog_ >= std::chrono::seconds(10)) {
        qCWarning(lcQueue, "report endpoint: %s from %s; connection closed%s", status.data(),
                  qPrintable(socket->peerAddress().toString()),
                  unlogged_ > 0
                      ? qPrintable(QStringLiteral(" (and %1 more refused before)").arg(unlogged_))
                      : "");
        lastLog_ = now;
        unlogged_ = 0;
    } else {
        ++unlogged_;
    }
    // Nothing more of it is read, by us or by the HTTP server.
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    socket->write("HTTP/1.1 " + status.toByteArray() +
                  "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    Close(socket);
}

void ReportDoor::Close(QTcpSocket* socket) {
    guests_.erase(socket);
    // The answer goes out first; what the client still sends is not read.
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState) socket->deleteLater();
}

void ReportDoor::Owe(QTcpSocket* socket) {
    if (auto it = guests_.find(socket); it != guests_.end()) ++it->second.owed;
}

void ReportDoor::Paid(QTcpSocket* socket) {
    if (auto it = guests_.find(socket); it != guests_.end()) {
        it->second.owed = std::max(0, it->second.owed - 1);
        it->second.since = Clock::now();
    }
}

void ReportDoor::Sweep() {
    const auto now = Clock::now();
    std::vector<QTcpSocket*> late, idle;
    for (auto& [socket, guest] : guests_) {
        if (!guest.socket) continue;
        if (guest.phase != Phase::Idle && now - guest.since > limits_.whole)
            late.push_back(socket);
        else if (guest.phase == Phase::Idle && guest.owed == 0 && now - guest.since > limits_.idle)
            idle.push_back(socket);
    }
    for (QTcpSocket* socket : late)
        Refuse(guests_[socket], "408 Request Timeout");
    // Kannel opens new connections for its reports and never closes idle
    // ones: closed from this side, the closed connections' wait falls here.
    for (QTcpSocket* socket : idle)
        Close(socket);
}

bool ReportDoor::ShedOne() {
    auto oldest = guests_.end();
    for (auto it = guests_.begin(); it != guests_.end(); ++it)
        if (it->second.owed == 0 &&
            (oldest == guests_.end() || it->second.since < oldest->second.since))
            oldest = it;
    if (oldest == guests_.end()) return false;
    QTcpSocket* socket = oldest->first;
    socket->abort();
    guests_.erase(socket);
    socket->deleteLater();
    return true;
}

} // namespace telvoro::smsd
