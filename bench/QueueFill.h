#pragma once
// What the benchmark puts in a queue besides the rows it measures: the
// history of earlier sends and the account's opt-out list.

#include "db/Connection.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <stdexcept>

namespace telvoro::bench {

// What a queue holds after a while: rows of 100 numbers under negative IDs
// (never claimed), every other row settled, the others handed over and still
// waiting for their reports. Whatever the drain asks must not walk all of it.
inline void FillHistory(Connection& c, int numbers) {
    if (numbers <= 0) return;
    const bool sqlite = c.engine() == Engine::Sqlite;
    const QString series =
        sqlite ? QStringLiteral("with recursive s(g) as (select 0 union all select g+1 from s "
                                "where g < %1) ")
                     .arg(numbers - 1)
               : QString();
    const QString from =
        sqlite ? QStringLiteral(" from s")
               : QStringLiteral(" from generate_series(0, %1) as s(g)").arg(numbers - 1);
    const QString now = QString::number(QDateTime::currentMSecsSinceEpoch());
    QSqlQuery q(c.database());
    const QStringList statements = {
        series +
            QStringLiteral("insert into SendTemp (ID, SendNo, SendMemo, list, state) select "
                           "-(g+1), 'history', 'old', '', case when g % 2 = 0 then '3' else "
                           "'2' end") +
            from + QStringLiteral(" where g < %1").arg((numbers + 99) / 100),
        series +
            QStringLiteral("insert into SendDetail (SendTempID, Seq, Round, Phone, Status, "
                           "SubmitAt, UpdatedAt) select -(g/100+1), g % 100, 0, '1370' || "
                           "g, case when (g/100) % 2 = 0 then 'delivered' else 'submitted' "
                           "end, ") +
            now + QStringLiteral(", ") + now + from,
        QStringLiteral("analyze")};
    for (const QString& sql : statements)
        if (!q.exec(sql))
            throw std::runtime_error("history: " + q.lastError().text().toStdString());
}

// `numbers` numbers on the account's opt-out list, none of them among those queued.
inline void FillOptOuts(Connection& c, int numbers) {
    if (numbers <= 0) return;
    const bool sqlite = c.engine() == Engine::Sqlite;
    const QString sql =
        (sqlite ? QStringLiteral("with recursive s(g) as (select 0 union all select g+1 from s "
                                 "where g < %1) insert into OptOut (Login, Phone, AddedAt) "
                                 "select '13800138000', '150' || (10000000 + g), 0 from s")
                : QStringLiteral("insert into OptOut (Login, Phone, AddedAt) select "
                                 "'13800138000', '150' || (10000000 + g), 0 from "
                                 "generate_series(0, %1) as s(g)"))
            .arg(numbers - 1);
    QSqlQuery q(c.database());
    for (const QString& s : {QStringLiteral("delete from OptOut"), sql, QStringLiteral("analyze")})
        if (!q.exec(s)) throw std::runtime_error("opt-outs: " + q.lastError().text().toStdString());
}

} // namespace telvoro::bench
