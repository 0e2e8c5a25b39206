#pragma once
// What the queue's tests share: rows queued through the client's own gateway,
// an account's credit, and a look at the database on a connection of the
// test's own.

#include "db/Connection.h"
#include "server/ServerUpkeep.h"
#include "server/SqlGateway.h"
#include "tests/support/ServerTestSupport.h"
#include "text/GbkCodec.h"

#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <string>

namespace telvoro::queue::testing {

inline const QString kAccount = QStringLiteral("13800138000");

// Queues one row as the client does: its insert and its deduction, one transaction.
inline qint64 QueueRow(const std::string& source, const QString& account, const QString& memo,
                       const QString& list) {
    SqlGateway gw(QStringLiteral("smsd-test-client"));
    gw.Open(telvoro::testing::Source(source));
    gw.BeginTransaction();
    const qint64 id = gw.InsertSendRow(account.toStdString(), ToGbk(memo), list.toStdString());
    gw.Commit();
    return id;
}

inline void SetCredit(const std::string& source, const QString& account, int credit) {
    Connection c(QStringLiteral("smsd-test-client"));
    c.Open(telvoro::testing::Source(source));
    ServerUpkeep(c).SetCredit(account.toStdString(), credit);
}

// One statement's first value, on a connection of the test's own.
inline QVariant Value(const std::string& source, const QString& sql) {
    Connection c(QStringLiteral("smsd-test-look"));
    c.Open(telvoro::testing::Source(source));
    QSqlQuery q(c.database());
    if (!q.exec(sql) || !q.next()) return {};
    return q.value(0);
}

// The statuses of a row's numbers, by position: "delivered,invalid,...".
inline QString Statuses(const std::string& source, qint64 id) {
    Connection c(QStringLiteral("smsd-test-look"));
    c.Open(telvoro::testing::Source(source));
    QSqlQuery q(c.database());
    q.exec(
        QStringLiteral("select Status from SendDetail where SendTempID=%1 order by Seq").arg(id));
    QStringList s;
    while (q.next())
        s << q.value(0).toString();
    return s.join(QLatin1Char(','));
}

inline QString StateOf(const std::string& source, qint64 id) {
    return Value(source, QStringLiteral("select state from SendTemp where ID=%1").arg(id))
        .toString();
}

} // namespace telvoro::queue::testing
