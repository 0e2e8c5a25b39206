#pragma once
// The SQL an engine speaks, decided once per connection: the data source's
// engine, and for ODBC the DBMS the driver names (psqlODBC is PostgreSQL;
// any other ODBC peer is taken as SQL Server, the engine ODBC stands for).
// Everything that writes engine-specific SQL asks Connection::dialect().

#include <QString>

namespace telvoro {

enum class Dialect { Sqlite, Postgres, SqlServer };

const char* NameOf(Dialect dialect);

// The dialect of an ODBC peer from its SQL_DBMS_NAME.
Dialect OdbcDialect(const QString& dbmsName);

// What each engine has of a kind (its statements, say), picked for `dialect`.
template <class T>
const T& ForDialect(Dialect dialect, const T& sqlite, const T& postgres, const T& sqlServer) {
    switch (dialect) {
    case Dialect::Sqlite:
        return sqlite;
    case Dialect::Postgres:
        return postgres;
    case Dialect::SqlServer:
        break;
    }
    return sqlServer;
}

} // namespace telvoro
