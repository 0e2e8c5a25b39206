#pragma once
// The statements the client (its gateway) and the admin's account upkeep run,
// by engine, in one place: SqlGateway and ServerUpkeep take them from here,
// and the tests parse the Transact-SQL ones with a real T-SQL grammar.

#include "db/Dialect.h"

#include <QString>
#include <utility>
#include <vector>

namespace telvoro {

struct ClientSql {
    QString credit;        // CurrSum of ? login
    QString columnsProbe;  // no row: the queue's column names as the server spells them
    QString insertRow;     // %1 the four column names; ? SendNo, SendMemo, list, state
    QString rowIdTail;     // appended to insertRow: the new row's ID as a result ("" on SQLite)
    QString deduct;        // ? price, login, price: one account row, only if the credit covers it
    QString rowCommitted;  // count of ? row: waits for a lost session's commit where it must
    QString setCredit;     // ? credit, login: the account's credit, inserting it if new
    QString insertAccount; // ? credit, login: after setCredit changed no row ("" where it upserts)

    std::vector<std::pair<const char*, const QString*>> All() const;
};

const ClientSql& ClientSqlFor(Dialect dialect);

} // namespace telvoro
