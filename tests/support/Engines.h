#pragma once
// The engines a conformance suite runs on, each as an empty database with the
// tables made:
//   sqlite      a file in a temp folder, always;
//   postgresql  a server of the test process's own (scripts/pg), where the
//               test script says PostgreSQL is there (TELVORO_PG_HOST/PORT);
//   odbc        the test script's server through psqlODBC (Qt's ODBC driver,
//               PostgreSQL's SQL), in a schema of this process's own, so suites
//               running at once never see each other's rows;
//   sqlserver   the database TELVORO_MSSQL names, as a data source text
//               ("odbc:DRIVER={...};SERVER=...;DATABASE=...;UID=...;PWD=...");
//               its tables are dropped and made anew before each test (name
//               a database kept for the tests).
// An engine that is not there skips with the reason, but PostgreSQL fails
// where the test script promised one (TELVORO_PG_REQUIRED).

#include "core/Error.h"
#include "db/Connection.h"
#include "db/Schema.h"
#ifndef _WIN32
#include "tests/support/PgServer.h"
#endif
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

// psqlODBC's connections of this process work in a schema of its own: it
// reads PGOPTIONS at each connect (Qt's native driver sets options itself).
inline const std::string& OwnPostgresSchema() {
    static const std::string schema = "telvoro_test_" + std::to_string(getpid());
    return schema;
}
inline void UseOwnPostgresSchema() {
#ifndef _WIN32
    static const bool done = [] {
        const std::string& schema = OwnPostgresSchema();
        const std::string options = "-c search_path=" + schema;
        setenv("PGOPTIONS", options.c_str(), 1);
        Connection c(QStringLiteral("engines-schema"));
        c.Open(Source(OdbcText(PostgresPort())));
        ExecDirect(c.database(), QString::fromStdString("Create schema if not exists " + schema));
        return true;
    }();
    (void)done;
#endif
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
        if (engine == "odbc") {
            UseOwnPostgresSchema();
            d.text = OdbcText(PostgresPort());
        } else {
#ifdef _WIN32
            d.reason = "no PostgreSQL server of the test's own on Windows";
            return d;
#else
            telvoro::test::PgServer* own = telvoro::test::PgServer::Get();
            if (!own) {
                d.reason = "no PostgreSQL server of the test's own could be started";
                return d;
            }
            d.text = own->Text();
#endif
        }
    }
    Connection c(QStringLiteral("engines-init"));
    c.Open(Source(d.text), create);
    if (engine == "odbc") {
        QSqlQuery q(c.database());
        if (!q.exec(QStringLiteral("Select current_schema()")) || !q.next() ||
            q.value(0).toString().toStdString() != OwnPostgresSchema())
            throw Error("the tests' connection is not in the schema " + OwnPostgresSchema() +
                        " but in " + q.value(0).toString().toStdString());
    }
    if (engine != "sqlite") {
        // Every test starts from an empty database of its own kind.
        for (const char* table :
             {"SendDetail", "SendClaim", "SendTemp", "Users", "AccountSender", "Inbound", "OptOut",
              "OptOutLog", "DailyCount", "SchemaVersion"}) {
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
