#include "server/ServerUpkeep.h"

#include "core/Error.h"
#include "server/Schema.h"
#include "server/SqlError.h"
#include "text/GbkCodec.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QStringList>
#include <QVariant>

namespace telvoro {

namespace {

void Run(QSqlQuery& query, bool ok) {
    if (!ok) ThrowSqlError(query.lastError());
}

// The logins that more than one `Users` row holds; none when there is no table yet.
QStringList DuplicateLogins(const QSqlDatabase& db) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    QStringList logins;
    if (!query.exec(QStringLiteral(
            "Select Login from Users group by Login having count(*) > 1 order by Login")))
        return logins;
    while (query.next())
        logins << query.value(0).toString();
    return logins;
}

} // namespace

void ServerUpkeep::CreateTables() {
    connection_.EnsureOpen();
    // The upkeep runs under the same limits as the client's calls.
    connection_.Watched(connection_.limits().query, QStringLiteral("create the tables"), [&] {
        const QSqlDatabase db = connection_.database();
        if (const QStringList duplicates = DuplicateLogins(db); !duplicates.isEmpty())
            throw Error(("Users holds these logins more than once: " +
                         duplicates.join(QStringLiteral(", ")) +
                         "; keep one row of each, then run init again")
                            .toStdString());
        const QString schema = QString::fromUtf8(SchemaSql(connection_.engine()));
        // Statements end with ";" at a line end (whatever the line ends are).
        static const QRegularExpression statementEnd(QStringLiteral(";[ \t]*\r?\n"));
        static const QRegularExpression lineEnd(QStringLiteral("\r?\n"));
        for (const QString& chunk : schema.split(statementEnd)) {
            QStringList code;
            for (const QString& line : chunk.split(lineEnd))
                if (!line.trimmed().startsWith(QLatin1String("--"))) code << line;
            const QString sql = code.join(QLatin1Char('\n')).trimmed();
            if (sql.isEmpty()) continue;
            QSqlQuery query(db);
            Run(query, query.exec(sql));
        }
    });
}

void ServerUpkeep::SetCredit(const std::string& login, std::int32_t credit) {
    connection_.EnsureOpen();
    const auto limit = connection_.limits().query;
    connection_.Watched(limit, QStringLiteral("set the credit"), [&] {
        // One statement on the login's unique key: concurrent calls serialise
        // on it instead of both inserting.
        const QString sql =
            connection_.SqlServerDbms()
                ? QStringLiteral(
                      "Merge Users with (HOLDLOCK) as t using (Select ? as Login, ? as CurrSum) "
                      "as s on t.Login = s.Login when matched then update set CurrSum = s.CurrSum "
                      "when not matched then insert (Login, CurrSum) values (s.Login, "
                      "s.CurrSum);")
                : QStringLiteral("Insert into Users (Login, CurrSum) values (?, ?) on conflict "
                                 "(Login) do update set CurrSum = excluded.CurrSum");
        QSqlQuery upsert = connection_.Prepare(sql, limit);
        upsert.addBindValue(FromGbk(login));
        upsert.addBindValue(credit);
        Exec(upsert, QStringLiteral("set the credit"));
    });
}

std::vector<ServerUpkeep::QueueRow> ServerUpkeep::ListQueue() {
    connection_.EnsureOpen();
    std::vector<QueueRow> rows;
    connection_.Watched(connection_.limits().query, QStringLiteral("list the queue"), [&] {
        QSqlQuery query(connection_.database());
        query.setForwardOnly(true);
        Run(query, query.exec(QStringLiteral(
                       "Select ID, SendNo, state, list, SendMemo from SendTemp order by ID")));
        while (query.next())
            rows.push_back({query.value(0).toString(), query.value(1).toString(),
                            query.value(2).toString(), query.value(3).toString(),
                            query.value(4).toString()});
    });
    return rows;
}

} // namespace telvoro
