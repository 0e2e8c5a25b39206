#include "server/ServerUpkeep.h"

#include "core/Error.h"
#include "db/SqlError.h"
#include "server/ClientSql.h"
#include "text/GbkCodec.h"

#include <QVariant>

namespace telvoro {

void ServerUpkeep::SetCredit(const std::string& login, std::int32_t credit) {
    connection_.EnsureOpen();
    const auto limit = connection_.limits().query;
    const QString what = QStringLiteral("set the credit");
    const ClientSql& sql = ClientSqlFor(connection_.dialect());
    const auto run = [&](const QString& statement) {
        QSqlQuery query = connection_.Prepare(statement, limit);
        query.addBindValue(credit);
        query.addBindValue(FromGbk(login));
        Exec(query, what);
        return query.numRowsAffected();
    };
    if (sql.insertAccount.isEmpty()) {
        connection_.Watched(limit, what, [&] { run(sql.setCredit); });
        return;
    }
    connection_.Begin(limit);
    try {
        connection_.Watched(limit, what, [&] {
            if (run(sql.setCredit) == 0) run(sql.insertAccount);
        });
        connection_.Commit();
    } catch (...) {
        connection_.Rollback();
        throw;
    }
}

} // namespace telvoro
