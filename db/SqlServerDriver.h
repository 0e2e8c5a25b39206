#pragma once
// Which ODBC driver speaks to SQL Server on this platform, and how it wants
// the server named: FreeTDS on Linux, Microsoft's own drivers on Windows.

#include <QString>

namespace telvoro {

struct SqlServerDriver {
    QString name;          // as ODBC lists it: "FreeTDS", "ODBC Driver 18 for SQL Server"
    bool portInServer;     // "SERVER=host,port" (Microsoft's) rather than "PORT=port"
    QString extraKeywords; // appended as they are, each with its leading ";"
};

// The driver this machine uses for a SQL Server data source.
SqlServerDriver LocalSqlServerDriver();

} // namespace telvoro
