#include "db/Dialect.h"

namespace telvoro {

const char* NameOf(Dialect dialect) {
    switch (dialect) {
    case Dialect::Sqlite:
        return "SQLite";
    case Dialect::Postgres:
        return "PostgreSQL";
    case Dialect::SqlServer:
        return "SQL Server";
    }
    return "";
}

Dialect OdbcDialect(const QString& dbmsName) {
    return dbmsName.contains(QLatin1String("PostgreSQL"), Qt::CaseInsensitive) ? Dialect::Postgres
                                                                               : Dialect::SqlServer;
}

} // namespace telvoro
