#pragma once
// Inbound messages as Kannel's sms-service hands them over, each stored once
// in one transaction with what it means: the account it belongs to (by the
// number it was sent to) and, for a refusal word, its sender on that
// account's opt-out list (the all-accounts list when it was sent to a number
// of no account, which every such account sends from). Also the opt-out
// lists' and sender numbers' upkeep for the admin tool.

#include "queue/QueueStorage.h"
#include "queue/QueueStore.h"
#include "queue/Rules.h"

#include <QString>
#include <QStringList>

namespace telvoro::queue {

struct InboundMessage {
    QString messageId; // Kannel's own ID: the same when it calls again
    QString sender, receiver, text, smscId;
};

struct InboundOutcome {
    bool stored = false;  // false: stored before (a repeated call)
    QString account;      // empty: the number belongs to no account
    bool refusal = false; // its text is a refusal word
    bool listed = false;  // its sender went on an opt-out list just now
};

class Inbox {
public:
    Inbox(Connection& connection, Clock clock, QStringList refusalWords = DefaultRefusalWords());
    InboundOutcome Take(const InboundMessage& message);

    // An account's own sender number (empty: none, it sends from --sender).
    void SetSender(const QString& login, const QString& sender);
    // `login` empty: the all-accounts list. Phones are kept in their listed
    // form (ListedNumber); returns how many changed.
    int AddOptOut(const QString& login, const QStringList& phones, const QString& source);
    int RemoveOptOut(const QString& login, const QStringList& phones, const QString& source);
    std::vector<QueueStorage::OptOutRow> OptOuts(const std::optional<QString>& login);
    std::vector<QueueStorage::InboundRow> Messages(const std::optional<QString>& account,
                                                   qint64 since);

private:
    QueueStorage storage_;
    Clock clock_;
    QStringList words_;
};

} // namespace telvoro::queue
