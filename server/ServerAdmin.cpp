// The gateway's upkeep operations and the free functions the admin tool and
// the tests call them by.

#include "server/ServerAdmin.h"

#include "server/SqlError.h"
#include "text/GbkCodec.h"

#include <QRegularExpression>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace telvoro {

namespace {

void Run(QSqlQuery& query, bool ok) {
    if (!ok) ThrowSqlError(query.lastError());
}

} // namespace

void SqlGateway::RunSchema() {
    EnsureOpen();
    // The upkeep runs under the same limits as the client's calls.
    Watched(limits_.query, QStringLiteral("create the tables"), [&] {
        const QSqlDatabase db = connection();
        const QString schema = QString::fromUtf8(SchemaSql(engine()));
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

void SqlGateway::SetCredit(const std::string& login, std::int32_t credit) {
    EnsureOpen();
    // The upkeep runs under the same limits as the client's calls.
    Watched(limits_.query, QStringLiteral("set the credit"), [&] {
        const QSqlDatabase db = connection();
        const QString qlogin = FromGbk(login);
        QSqlQuery update(db);
        Run(update, update.prepare(QStringLiteral("Update Users set CurrSum=? where Login=?")));
        update.addBindValue(credit);
        update.addBindValue(qlogin);
        Run(update, update.exec());
        if (update.numRowsAffected() >= 1) return;
        QSqlQuery insert(db);
        Run(insert,
            insert.prepare(QStringLiteral("Insert into Users (Login, CurrSum) values (?, ?)")));
        insert.addBindValue(qlogin);
        insert.addBindValue(credit);
        Run(insert, insert.exec());
    });
}

std::vector<SqlGateway::QueueRow> SqlGateway::ListQueue() {
    EnsureOpen();
    std::vector<QueueRow> rows;
    Watched(limits_.query, QStringLiteral("list the queue"), [&] {
        QSqlQuery query(connection());
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

void CreateServerTables(SqlGateway& gateway) {
    gateway.RunSchema();
}

void SetAccountCredit(SqlGateway& gateway, const std::string& login, std::int32_t credit) {
    gateway.SetCredit(login, credit);
}

} // namespace telvoro
