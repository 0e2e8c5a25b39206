#pragma once
// The report endpoint's door: the listening socket in front of the HTTP
// server. Anyone who can reach the port can knock, so nothing a client sends
// may take memory, sockets or time from Kannel's reports: a request must fit
// limits that Kannel's reports meet many times over and arrive whole within a
// few seconds, or it is answered (414, 431, 413, 411, 408) and closed before
// more of it is read; and past a cap on open connections the oldest idle or
// unfinished one makes room, never one whose report is being stored.

#include <QByteArray>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>
#include <chrono>
#include <map>

class QTcpSocket;

namespace telvoro::smsd {

struct DoorLimits {
    qsizetype requestLine = 8 * 1024; // Kannel's longest report URL is under 1 KiB
    qsizetype head = 16 * 1024;       // request line and headers
    qint64 body = 64 * 1024;
    std::chrono::milliseconds whole{5000}; // from a request's first byte to its last
    std::chrono::milliseconds idle{2000};  // a connection owed nothing, then closed
    int connections = 1024;
};

class ReportDoor : public QTcpServer {
public:
    explicit ReportDoor(DoorLimits limits = {});
    ~ReportDoor() override;
    // The HTTP server holds a report's answer until it is stored: the
    // connection is then neither idle nor to be shed.
    void Owe(QTcpSocket* socket);
    void Paid(QTcpSocket* socket);
    int OpenConnections() const { return static_cast<int>(guests_.size()); }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    enum class Phase { Idle, Head, Body };
    struct Guest {
        QPointer<QTcpSocket> socket;
        Phase phase = Phase::Idle;
        std::chrono::steady_clock::time_point since; // of the request, or of the last use
        QByteArray head;
        qint64 bodyLeft = 0;
        int owed = 0;
    };
    // Runs before the HTTP server's own reading of the same bytes.
    void Read(QTcpSocket* socket);
    // Follows the request framing over newly arrived bytes; false after a refusal.
    bool Follow(Guest& guest, QByteArrayView bytes);
    bool HeadComplete(Guest& guest, qsizetype end);
    void Refuse(Guest& guest, QByteArrayView status);
    void Close(QTcpSocket* socket);
    void Sweep();
    bool ShedOne();

    DoorLimits limits_;
    std::map<QTcpSocket*, Guest> guests_;
    QTimer sweep_;
    std::chrono::steady_clock::time_point lastLog_;
    long long unlogged_ = 0;
};

} // namespace telvoro::smsd
