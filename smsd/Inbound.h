#pragma once
// Kannel's side of inbound messages: the sms-service block that has smsbox
// call this server's /mo, the call's query read back into a message, and the
// inbound messages taken by the endpoint and not yet stored. Also the
// sending window, in local time.

#include "queue/Inbox.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QTimeZone>
#include <QUrl>
#include <QUrlQuery>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace telvoro::smsd {

// The group = sms-service block for kannel.conf: smsbox calls `mo` (this
// server's /mo with the secret) for every inbound message, joined from its
// parts, and sends nothing back itself.
QString KannelServiceBlock(const QUrl& mo, const QString& secret);

// The message a /mo call carries (k, id, from, to, smsc, coding, text as
// Kannel's %b), or nothing when a field is missing. The secret is checked apart.
std::optional<queue::InboundMessage> ParseInbound(const QUrlQuery& query);
// Whether `given` is `secret`, in a time that does not tell how much matched;
// never for an empty secret (no --mo-secret-file).
bool SecretMatches(const QString& given, const QString& secret);

struct PendingInbound {
    queue::InboundMessage message;
    quint64 ticket = 0; // the endpoint's waiting answer
};

// From the endpoint's thread to the writer's.
class InboundQueue {
public:
    void Push(PendingInbound item);
    std::vector<PendingInbound> TakeAll();
    void Return(std::vector<PendingInbound> items);
    std::size_t Size();

private:
    std::mutex mutex_;
    std::deque<PendingInbound> items_;
};

// HH:MM-HH:MM in local time; one that ends before it starts runs over midnight.
struct SendWindow {
    int from = 0, to = 0; // minutes after midnight
    static std::optional<SendWindow> Parse(const QString& text);
    bool Contains(const QDateTime& local) const;
    // The next moment it opens after `local` (which lies outside it).
    QDateTime NextOpening(const QDateTime& local) const;
    QString Text() const;
};

} // namespace telvoro::smsd
