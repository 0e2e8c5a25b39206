#include "server/ServerAdmin.h"

#include "core/Error.h"
#include "server/GbkCodec.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace telvoro {

namespace {
void Check(const QSqlQuery& query, bool ok) {
    if (!ok) throw Error(query.lastError().text().toStdString());
}
} // namespace

void CreateServerTables(SqlGateway& gateway) {
    QSqlDatabase db = gateway.database();
    const QString schema = QString::fromUtf8(SchemaSql(gateway.engine()));
    for (const QString& chunk : schema.split(QStringLiteral(";\n"))) {
        QStringList code;
        for (const QString& line : chunk.split(QLatin1Char('\n')))
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
