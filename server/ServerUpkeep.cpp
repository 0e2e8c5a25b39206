#include "server/ServerUpkeep.h"

#include "core/Error.h"
#include "db/SqlError.h"
#include "text/GbkCodec.h"

#include <QVariant>

namespace telvoro {

void ServerUpkeep::SetCredit(const std::string& login, std::int32_t credit) {
    connection_.EnsureOpen();
    const auto limit = connection_.limits().query;
    connection_.Watched(limit, QStringLiteral("set the credit"), [&] {
        // One statement on the login's unique key: concurrent calls serialise
        // on it instead of both inserting.
        const QString sql =
            connection_.dialect() == Dialect::SqlServer
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

} // namespace telvoro
