#include "queue/Inbox.h"

#include "queue/Rules.h"

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcQueue)

namespace telvoro::queue {

Inbox::Inbox(Connection& connection, Clock clock, QStringList refusalWords)
    : storage_(connection), clock_(std::move(clock)) {
    for (const QString& w : refusalWords)
        if (!w.trimmed().isEmpty()) words_ << w.trimmed().toUpper();
}

InboundOutcome Inbox::Take(const InboundMessage& m) {
    InboundOutcome out;
    QueueStorage::Tx tx(storage_);
    const qint64 now = clock_();
    out.account = AccountOfReceiver(m.receiver, storage_.AccountSenders());
    out.refusal = IsRefusal(m.text, words_);
    QueueStorage::InboundRow row;
    row.messageId = m.messageId;
    row.sender = m.sender.left(40);
    row.receiver = m.receiver.left(40);
    row.body = m.text;
    row.smscId = m.smscId.left(64);
    row.receivedAt = now;
    row.account = out.account;
    row.refusal = out.refusal;
    out.stored = storage_.InsertInbound(row);
    // A repeated call acts no more than it stores.
    if (out.stored && out.refusal)
        out.listed = storage_.AddOptOut(out.account, ListedNumber(m.sender),
                                        QStringLiteral("inbound %1").arg(m.messageId), now);
    tx.Commit();
    if (out.stored)
        qCInfo(lcQueue, "inbound from %s to %s (account %s)%s", qPrintable(row.sender),
               qPrintable(row.receiver), out.account.isEmpty() ? "none" : qPrintable(out.account),
               out.refusal ? (out.listed ? ": a refusal, now on the opt-out list"
                                         : ": a refusal, on the opt-out list already")
                           : "");
    return out;
}

void Inbox::SetSender(const QString& login, const QString& sender) {
    QueueStorage::Tx tx(storage_);
    storage_.SetSender(login, sender);
    tx.Commit();
}

int Inbox::AddOptOut(const QString& login, const QStringList& phones, const QString& source) {
    QueueStorage::Tx tx(storage_);
    const qint64 now = clock_();
    int n = 0;
    for (const QString& p : phones)
        n += storage_.AddOptOut(login, ListedNumber(p), source, now) ? 1 : 0;
    tx.Commit();
    return n;
}

int Inbox::RemoveOptOut(const QString& login, const QStringList& phones, const QString& source) {
    QueueStorage::Tx tx(storage_);
    const qint64 now = clock_();
    int n = 0;
    for (const QString& p : phones)
        n += storage_.RemoveOptOut(login, ListedNumber(p), source, now) ? 1 : 0;
    tx.Commit();
    return n;
}

std::vector<QueueStorage::OptOutRow> Inbox::OptOuts(const std::optional<QString>& login) {
    QueueStorage::Tx tx(storage_);
    auto rows = storage_.ListOptOut(login);
    tx.Commit();
    return rows;
}

std::vector<QueueStorage::InboundRow> Inbox::Messages(const std::optional<QString>& account,
                                                      qint64 since) {
    QueueStorage::Tx tx(storage_);
    auto rows = storage_.ListInbound(account, since);
    tx.Commit();
    return rows;
}

} // namespace telvoro::queue
