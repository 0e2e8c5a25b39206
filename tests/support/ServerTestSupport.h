#pragma once
// What the tests of the gateway's failures share: the Qt application, fresh
// logins, and the data sources of the PostgreSQL server that the test script
// starts (TELVORO_PG_HOST/PORT), natively and through psqlODBC.

#include "files/DataSource.h"
#include "tests/support/Numbers.h"

#include <QCoreApplication>

#include <cstdlib>
#include <random>
#include <string>

namespace telvoro::testing {

inline void EnsureApp() {
    static int argc = 1;
    static char name[] = "telvoro_server_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app =
        QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
}

// An 11-digit login no other test uses; `first` picks a family of logins.
inline std::string FreshLogin(char first = '2') {
    static std::mt19937_64 rng(std::random_device{}());
    std::string s(1, first);
    for (int i = 0; i < 10; ++i)
        s += char('0' + rng() % 10);
    return s;
}

inline bool PostgresConfigured() {
    return std::getenv("TELVORO_PG_HOST") && std::getenv("TELVORO_PG_PORT");
}
// A test that needs PostgreSQL skips without one, and fails where the test
// script promised one (TELVORO_PG_REQUIRED).
#define TELVORO_REQUIRE_POSTGRES()                                                                 \
    do {                                                                                           \
        if (!::telvoro::testing::PostgresConfigured()) {                                           \
            if (std::getenv("TELVORO_PG_REQUIRED")) FAIL() << "no PostgreSQL server";              \
            GTEST_SKIP()                                                                           \
                << "no PostgreSQL server (TELVORO_PG_HOST/PORT; scripts/test starts one)";         \
        }                                                                                          \
    } while (false)

inline int PostgresPort() {
    return std::atoi(std::getenv("TELVORO_PG_PORT"));
}

inline std::string PostgresText(int port) {
    return std::string("postgresql://") + std::getenv("TELVORO_PG_HOST") + ":" +
           std::to_string(port);
}

// psqlODBC stands in for SQL Server's driver: the same QODBC code path.
inline std::string OdbcText(int port) {
    return std::string("odbc:DRIVER={PostgreSQL Unicode};SERVER=") +
           std::getenv("TELVORO_PG_HOST") + ";PORT=" + std::to_string(port) +
           ";DATABASE=Orvanta;UID=gsm;PWD={qelvix:-!}";
}

inline DataSource Source(const std::string& text) {
    return ParseDataSource(text, ProgramFolder());
}

} // namespace telvoro::testing
