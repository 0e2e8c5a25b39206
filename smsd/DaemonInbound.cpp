// Inbound messages through the endpoint, stored by the report writer, and the
// sending window the drains keep.

#include "smsd/Daemon.h"

#include <QDateTime>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QLoggingCategory>
#include <QTcpSocket>

Q_DECLARE_LOGGING_CATEGORY(lcQueue)

namespace telvoro::smsd {

using std::chrono::milliseconds;

void Daemon::OnInbound(const QHttpServerRequest& request, QHttpServerResponder& responder) {
    const QUrlQuery query = request.query();
    // Nothing is read on, let alone stored, without the secret.
    if (!SecretMatches(query.queryItemValue(QStringLiteral("k")), settings_.moSecret)) {
        qCWarning(lcQueue, "inbound call without the secret turned away");
        responder.write(QByteArrayLiteral("forbidden\n"), "text/plain",
                        QHttpServerResponder::StatusCode::Forbidden);
        return;
    }
    std::optional<queue::InboundMessage> message = ParseInbound(query);
    if (!message) {
        responder.write(QByteArrayLiteral("malformed message\n"), "text/plain",
                        QHttpServerResponder::StatusCode::BadRequest);
        return;
    }
    if (inbound_.Size() >= kMostWaitingReports) {
        responder.write(QByteArrayLiteral("busy\n"), "text/plain",
                        QHttpServerResponder::StatusCode::ServiceUnavailable);
        return;
    }
    // Answered once stored: Kannel calls again for a message lost in a crash.
    const quint64 ticket = ++nextTicket_;
    Waiting& w = waiting_[ticket];
    w.socket = responder.socket();
    door_->Owe(w.socket.data());
    w.responder = std::make_unique<QHttpServerResponder>(std::move(responder));
    inbound_.Push({std::move(*message), ticket});
    queue_->Wake();
}

void Daemon::StoreInbound(queue::Inbox& inbox) {
    std::vector<PendingInbound> items = inbound_.TakeAll();
    std::vector<quint64> done;
    try {
        for (const PendingInbound& item : items) {
            inbox.Take(item.message); // its own commit
            done.push_back(item.ticket);
        }
    } catch (...) {
        std::vector<PendingInbound> rest(items.begin() + static_cast<std::ptrdiff_t>(done.size()),
                                         items.end());
        inbound_.Return(std::move(rest));
        PostAnswers(std::move(done));
        throw;
    }
    PostAnswers(std::move(done));
}

bool Daemon::OutsideWindow(bool& said) {
    if (!settings_.window) return false;
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(settings_.clock(), settings_.zone);
    if (settings_.window->Contains(local)) {
        said = false;
        return false;
    }
    if (!said)
        qCInfo(lcQueue, "outside the sending window %s: nothing claimed until %s",
               qPrintable(settings_.window->Text()),
               qPrintable(settings_.window->NextOpening(local).toString(
                   QStringLiteral("yyyy-MM-dd HH:mm t"))));
    said = true;
    Pause(settings_.poll);
    return true;
}

} // namespace telvoro::smsd
