// QueueStorage's operations for the rules of sending: the accounts' own
// sender numbers, opt-out lists, daily counts and inbound messages.

#include "queue/QueueStorage.h"

#include <QSqlQuery>

namespace telvoro::queue {

namespace {

// "(?,?,…)" for a list of texts, whose values go to `binds`.
QString TextList(const QStringList& items, QVariantList& binds) {
    QStringList marks;
    for (const QString& item : items) {
        marks << QStringLiteral("?");
        binds << item;
    }
    return QLatin1Char('(') + marks.join(QLatin1Char(',')) + QLatin1Char(')');
}

// The all-accounts list's login, "", bound as a text: a null QString would be NULL.
QString Login(const QString& login) {
    return login.isEmpty() ? QString::fromLatin1("") : login;
}

QVariant OrNull(const QString& text) {
    return text.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(text);
}

} // namespace

int QueueStorage::MarkHeldRefunded(qint64 id) {
    return Change(Sql().markHeldRefunded, {id});
}

std::optional<QString> QueueStorage::SenderOf(const QString& login) {
    QSqlQuery& q = Run(Sql().senderOf, {login});
    if (!q.next()) return std::nullopt;
    return q.value(0).toString();
}

QSet<QString> QueueStorage::OptedOut(const QString& login, const QStringList& phones) {
    QSet<QString> out;
    // A row holds a few hundred numbers at most: a statement or two.
    for (qsizetype from = 0; from < phones.size(); from += kChunk) {
        QVariantList binds{Login(login)};
        const QString list = TextList(phones.mid(from, kChunk), binds);
        QSqlQuery& q = Run(QString(Sql().optedOut).replace(QLatin1String("%1"), list), binds,
                           /*keep=*/false);
        while (q.next())
            out.insert(q.value(0).toString());
    }
    return out;
}

QHash<QString, int> QueueStorage::DayCounts(const QString& login, int day,
                                            const QStringList& phones) {
    QHash<QString, int> counts;
    for (qsizetype from = 0; from < phones.size(); from += kChunk) {
        QVariantList binds{login, day};
        const QString list = TextList(phones.mid(from, kChunk), binds);
        QSqlQuery& q = Run(QString(Sql().dayCounts).replace(QLatin1String("%1"), list), binds,
                           /*keep=*/false);
        while (q.next())
            counts.insert(q.value(0).toString(), q.value(1).toInt());
    }
    return counts;
}

void QueueStorage::CountDay(const QString& login, int day, const QString& phone) {
    // Mostly a count that is there already: one update; the first one of a day inserts.
    if (Change(Sql().bumpDay, {login, day, phone}) == 0)
        Change(Sql().countDay, {login, day, phone});
}

bool QueueStorage::InsertInbound(const InboundRow& r) {
    return Change(Sql().insertInbound, {r.messageId, r.sender, r.receiver, r.body, OrNull(r.smscId),
                                        r.receivedAt, OrNull(r.account), r.refusal ? 1 : 0}) == 1;
}

std::vector<std::pair<QString, QString>> QueueStorage::AccountSenders() {
    std::vector<std::pair<QString, QString>> all;
    QSqlQuery& q = Run(Sql().accountSenders, {});
    while (q.next())
        all.emplace_back(q.value(0).toString(), q.value(1).toString());
    return all;
}

void QueueStorage::SetSender(const QString& login, const QString& sender) {
    Change(Sql().clearSender, {login});
    if (!sender.isEmpty()) Change(Sql().insertSender, {login, sender});
}

bool QueueStorage::AddOptOut(const QString& login, const QString& phone, const QString& source,
                             qint64 now) {
    if (Change(Sql().addOptOut, {Login(login), phone, now}) != 1) return false;
    Change(Sql().logOptOut, {Login(login), phone, QStringLiteral("add"), source.left(100), now});
    return true;
}

bool QueueStorage::RemoveOptOut(const QString& login, const QString& phone, const QString& source,
                                qint64 now) {
    if (Change(Sql().removeOptOut, {Login(login), phone}) == 0) return false;
    Change(Sql().logOptOut, {Login(login), phone, QStringLiteral("remove"), source.left(100), now});
    return true;
}

std::vector<QueueStorage::OptOutRow> QueueStorage::ListOptOut(const std::optional<QString>& login) {
    QVariantList binds;
    QString where;
    if (login) {
        where = QStringLiteral(" where Login=?");
        binds << Login(*login);
    }
    std::vector<OptOutRow> rows;
    QSqlQuery& q =
        Run(QString(Sql().listOptOut).replace(QLatin1String("%1"), where), binds, /*keep=*/false);
    while (q.next())
        rows.push_back({q.value(0).toString(), q.value(1).toString(), q.value(2).toLongLong()});
    return rows;
}

std::vector<QueueStorage::InboundRow>
QueueStorage::ListInbound(const std::optional<QString>& account, qint64 since) {
    QVariantList binds{since};
    QString where = QStringLiteral(" where ReceivedAt>=?");
    if (account) {
        where += QStringLiteral(" and Account=?");
        binds << *account;
    }
    std::vector<InboundRow> rows;
    QSqlQuery& q =
        Run(QString(Sql().listInbound).replace(QLatin1String("%1"), where), binds, /*keep=*/false);
    while (q.next()) {
        InboundRow r;
        r.id = q.value(0).toLongLong();
        r.receivedAt = q.value(1).toLongLong();
        r.sender = q.value(2).toString();
        r.receiver = q.value(3).toString();
        r.account = q.value(4).toString();
        r.refusal = q.value(5).toInt() != 0;
        r.smscId = q.value(6).toString();
        r.body = q.value(7).toString();
        rows.push_back(std::move(r));
    }
    return rows;
}

} // namespace telvoro::queue
