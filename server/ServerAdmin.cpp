#include "server/ServerAdmin.h"

#include "core/Error.h"
#include "text/GbkCodec.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace telvoro {

namespace {
void Check(const QSqlQuery& query, bool ok) {
    if (ok) return;
    const QString text = query.lastError().text().simplified();
    throw Error(text.isEmpty() ? std::string("database error") : text.toStdString());
}
} // namespace

void CreateServerTables(SqlGateway& gateway) {
    QSqlDatabase db = gateway.database();
    const QString schema = QString::fromUtf8(SchemaSql(gateway.engine()));
    // Statements end with ";" at a line end (whatever the line ends are).
    static const QRegularExpression statementEnd(QStringLiteral(";[ \t]*\r?\n"));
    for (const QString& chunk : schema.split(statementEnd)) {
        QStringList code;
        for (const QString& line : chunk.split(QRegularExpression(QStringLiteral("\r?\n"))))
            if (!line.trimmed().startsWith(QLatin1String("--"))) code << line;
        const QString sql = code.join(QLatin1Char('\n')).trimmed();
        if (sql.isEmpty()) continue;
        QSqlQuery q(db);
        Check(q, q.exec(sql));
    }
}

void SetAccountCredit(SqlGateway& gateway, const std::string& login, std::int32_t credit) {
    QSqlDatabase db = gateway.database();
    const QString qlogin = FromGbk(login);
    QSqlQuery update(db);
    Check(update, update.prepare(QStringLiteral("Update Users set CurrSum=? where Login=?")));
    update.addBindValue(credit);
    update.addBindValue(qlogin);
    Check(update, update.exec());
    if (update.numRowsAffected() >= 1) return;
    QSqlQuery insert(db);
    Check(insert,
          insert.prepare(QStringLiteral("Insert into Users (Login, CurrSum) values (?, ?)")));
    insert.addBindValue(qlogin);
    insert.addBindValue(credit);
    Check(insert, insert.exec());
}

} // namespace telvoro
