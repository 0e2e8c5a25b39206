#pragma once
// The engines a conformance suite runs on, each as an empty database with the
// tables made:
//   sqlite      a file in a temp folder, always;
//   postgresql  the server the test script starts (TELVORO_PG_HOST/PORT), in a
//               schema of this process's own, so suites running at once never
//               see each other's rows;
//   odbc        the same through psqlODBC (Qt's ODBC driver, PostgreSQL's SQL);
//   sqlserver   the database TELVORO_MSSQL names, as a data source text
//               ("odbc:DRIVER={...};SERVER=...;DATABASE=...;UID=...;PWD=...");
//               its tables are dropped and made anew before each test (name
//               a database kept for the tests).
// An engine that is not there skips with the reason, but PostgreSQL fails
// where the test script promised one (TELVORO_PG_REQUIRED).

#include "db/Connection.h"
#include "db/Schema.h"
#include "tests/support/ServerTestSupport.h"
#include "tests/support/TempFolder.h"

#include <QSqlQuery>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

namespace telvoro::testing {

inline const char* const kEngines[] = {"sqlite", "postgresql", "odbc", "sqlserver"};

struct EngineDatabase {
    std::string text;   // the data source text; empty when the engine is not there
    std::string reason; // why not
    std::unique_ptr<TempFolder> folder;
};

// PostgreSQL's connections of this process work in a schema of its own:
// libpq (and psqlODBC on it) read PGOPTIONS at each connect.
inline void UseOwnPostgresSchema() {
    static const bool done = [] {
        const std::string schema = "telvoro_test_" + std::to_string(getpid());
        setenv("PGOPTIONS", ("-c search_path=" + schema).c_str(), 1);
        Connection c(QStringLiteral("engines-schema"));
        c.Open(Source(PostgresText(PostgresPort())));
        ExecDirect(c.database(), QString::fromStdString("Create schema if not exists " + schema));
        return true;
    }();
    (void)done;
}

// An empty database of `engine` at the current schema version.
inline EngineDatabase MakeEngineDatabase(const std::string& engine, bool withTables = true) {
    EnsureApp();
    EngineDatabase d;
    Create create = Create::No;
    if (engine == "sqlite") {
        d.folder = std::make_unique<TempFolder>();
        d.text = "sqlite:" + (d.folder->path / "Orvanta.db").string();
        create = Create::Yes;
    } else if (engine == "sqlserver") {
        const char* named = std::getenv("TELVORO_MSSQL");
        if (!named || !*named) {
            d.reason = "no SQL Server (TELVORO_MSSQL names one as a data source text)";
            return d;
        }
        d.text = named;
    } else {
        if (!PostgresConfigured()) {
            d.reason = "no PostgreSQL server (TELVORO_PG_HOST/PORT; scripts/test starts one)";
            return d;
        }
        UseOwnPostgresSchema();
        d.text = engine == "odbc" ? OdbcText(PostgresPort()) : PostgresText(PostgresPort());
    }
    Connection c(QStringLiteral("engines-init"));
    c.Open(Source(d.text), create);
    if (engine != "sqlite") {
        // Every test starts from an empty database of its own kind.
        for (const char* table :
             {"SendDetail", "SendClaim", "SendTemp", "Users", "SchemaVersion"}) {
            QSqlQuery q(c.database());
            q.exec(QStringLiteral("Drop table %1").arg(QLatin1String(table)));
        }
    }
    if (withTables) UpgradeSchema(c);
    return d;
}

// Skips the test when the engine is not there (failing for a promised PostgreSQL).
#define TELVORO_ENGINE_OR_SKIP(database)                                                           \
    do {                                                                                           \
        if ((database).text.empty()) {                                                             \
            if (std::getenv("TELVORO_PG_REQUIRED") &&                                              \
                (database).reason.find("PostgreSQL") != std::string::npos)                         \
                FAIL() << (database).reason;                                                       \
            GTEST_SKIP() << (database).reason;                                                     \
        }                                                                                          \
    } while (false)

} // namespace telvoro::testing
