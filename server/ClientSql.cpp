#include "server/ClientSql.h"

namespace telvoro {

namespace {

ClientSql Common() {
    ClientSql s;
    s.credit = QStringLiteral("Select CurrSum from Users where login=?");
    s.columnsProbe = QStringLiteral("Select * from SendTemp where ID=0");
    s.insertRow = QStringLiteral("Insert into SendTemp (%1) values (?, ?, ?, ?)");
    s.deduct = QStringLiteral("Update Users set CurrSum=CurrSum-? where Login=? and CurrSum>=?");
    s.rowCommitted = QStringLiteral("Select count(*) from SendTemp where ID=?");
    // One statement on the login's unique key: concurrent calls serialise on
    // it instead of both inserting.
    s.setCredit = QStringLiteral("Insert into Users (CurrSum, Login) values (?, ?) on conflict "
                                 "(Login) do update set CurrSum = excluded.CurrSum");
    return s;
}

ClientSql SqlServer() {
    ClientSql s = Common();
    s.rowIdTail = QStringLiteral("; Select SCOPE_IDENTITY()");
    // Under read-committed snapshot a lookup would not wait for the lost
    // session's lock on the row and could miss a commit still under way.
    s.rowCommitted =
        QStringLiteral("Select count(*) from SendTemp with (READCOMMITTEDLOCK) where ID=?");
    // No MERGE: the update holds a key-range lock (UPDLOCK, SERIALIZABLE) until
    // the commit, so a second caller waits and then finds the row the first
    // one inserted; MERGE needs the same hint and carries its own faults.
    s.setCredit =
        QStringLiteral("Update Users with (UPDLOCK, SERIALIZABLE) set CurrSum=? where Login=?");
    s.insertAccount = QStringLiteral("Insert into Users (CurrSum, Login) values (?, ?)");
    return s;
}

} // namespace

std::vector<std::pair<const char*, const QString*>> ClientSql::All() const {
    return {{"credit", &credit},
            {"columnsProbe", &columnsProbe},
            {"insertRow", &insertRow},
            {"deduct", &deduct},
            {"rowCommitted", &rowCommitted},
            {"setCredit", &setCredit},
            {"insertAccount", &insertAccount}};
}

const ClientSql& ClientSqlFor(Dialect dialect) {
    static const ClientSql sqlite = Common();
    static const ClientSql postgres = [] {
        ClientSql s = Common();
        s.rowIdTail = QStringLiteral(" RETURNING ID");
        return s;
    }();
    static const ClientSql sqlServer = SqlServer();
    return ForDialect(dialect, sqlite, postgres, sqlServer);
}

} // namespace telvoro
