// Windows: the newest of Microsoft's SQL Server drivers installed, else the
// "SQL Server" driver every Windows has. Text crosses as UTF-16 (Qt's ODBC
// driver uses the wide calls), so nothing about characters is said.
#include "db/SqlServerDriver.h"

// windows.h before sql.h, which uses its types.
#include <windows.h>

#include <sql.h>
#include <sqlext.h>

#include <QStringList>

namespace telvoro {

namespace {

QStringList InstalledDrivers() {
    QStringList names;
    SQLHENV env = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) return names;
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLWCHAR name[256];
    SQLWCHAR attributes[1024];
    SQLSMALLINT nameLength = 0, attributesLength = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (SQL_SUCCEEDED(
        SQLDriversW(env, direction, name, 256, &nameLength, attributes, 1024, &attributesLength))) {
        names << QString::fromWCharArray(reinterpret_cast<const wchar_t*>(name));
        direction = SQL_FETCH_NEXT;
    }
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return names;
}

} // namespace

SqlServerDriver LocalSqlServerDriver() {
    const QStringList installed = InstalledDrivers();
    for (const char* name : {"ODBC Driver 18 for SQL Server", "ODBC Driver 17 for SQL Server"})
        if (installed.contains(QLatin1String(name), Qt::CaseInsensitive))
            return {QLatin1String(name), true, {}};
    return {QStringLiteral("SQL Server"), true, {}};
}

} // namespace telvoro
