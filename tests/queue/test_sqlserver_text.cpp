// Until a SQL Server runs beside the tests, every SQL Server statement of the
// queue, of the schema's steps and of the client is parsed by a real
// Transact-SQL grammar, so a typo cannot ship: npm's node-sql-parser (scripts/deps
// puts it in the cache folder), the stricter one, and Debian's sqlglot for the
// few whose valid syntax node-sql-parser's grammar gets wrong. Skipped, with
// the reason, where a parser is missing.

#include "db/Schema.h"
#include "queue/QueueSql.h"
#include "server/ClientSql.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

using namespace telvoro;
using namespace telvoro::queue;

namespace {

// The statement as it runs: its lists filled in (two of each).
QString AsRun(const char* name, QString sql) {
    const std::string n = name;
    if (n == "reportRows" || n == "reportCounts")
        return sql.replace(QLatin1String("%1"), QLatin1String(" where SendNo=? and ID=?"));
    if (n == "insertNumbers")
        return sql + QLatin1String(kNumberValues) + QLatin1String(", ") +
               QLatin1String(kNumberValues);
    const QString values =
        QLatin1String(kReportValues) + QLatin1String(", ") + QLatin1String(kReportValues);
    return sql.replace(QLatin1String("%2"), values).replace(QLatin1String("%1"), "(?, ?)");
}

using Statements = std::vector<std::pair<std::string, QString>>;

// node-sql-parser 5.4.0 tries READCOMMITTED before READCOMMITTEDLOCK and fails
// on the longer hint; sqlglot parses it.
bool NodeGrammarGap(const std::string& name) {
    return name == "client rowCommitted";
}

// A parser's verdict on `statements`: its exit status and output.
std::pair<int, std::string> Parse(const Statements& statements, bool sqlglot = false) {
    TempFolder folder;
    const auto file = folder.path / "statements.sql";
    {
        std::ofstream out(file);
        for (const auto& [name, sql] : statements)
            out << "-- statement " << name << '\n' << sql.toStdString() << '\n';
    }
    const std::string command =
        sqlglot ? "/usr/bin/python3 " TELVORO_SOURCE_DIR "/tests/queue/tsql_parse.py '" +
                      file.string() + "' 2>&1"
                : "node " TELVORO_SOURCE_DIR "/tests/queue/tsql_parse.js '" +
                      std::string(TELVORO_TSQL_PARSER) + "' '" + file.string() + "' 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    while (pipe && fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    const int status = pipe ? pclose(pipe) : -1;
    return {status, output};
}

TEST(SqlServerText, EveryStatementParses) {
    if (std::system("node --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no node (scripts/deps installs it)";
    if (!std::filesystem::exists(std::filesystem::path(TELVORO_TSQL_PARSER) / "node-sql-parser"))
        GTEST_SKIP() << "no node-sql-parser in " TELVORO_TSQL_PARSER " (scripts/deps installs it)";
    if (std::system("/usr/bin/python3 -c 'import sqlglot' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no python3-sqlglot (scripts/deps installs it)";
    Statements statements, gaps;
    for (const auto& [name, sql] : QueueSqlFor(Dialect::SqlServer).All())
        statements.emplace_back(name, AsRun(name, *sql));
    for (const SchemaStep& step : SchemaSteps(Dialect::SqlServer))
        for (const QString& sql : step.statements)
            statements.emplace_back("schema step " + std::to_string(step.version), sql);
    statements.emplace_back("schema exists", ExistsSql(Dialect::SqlServer));
    const ClientSql& client = ClientSqlFor(Dialect::SqlServer);
    for (const auto& [name, sql] : client.All()) {
        QString text = *sql;
        if (sql == &client.insertRow)
            text = text.arg(QLatin1String("SendNo, SendMemo, list, state")) + client.rowIdTail;
        (NodeGrammarGap(std::string("client ") + name) ? gaps : statements)
            .emplace_back(std::string("client ") + name, text);
    }
    const auto [status, output] = Parse(statements);
    EXPECT_EQ(status, 0) << output;
    const auto [gapStatus, gapOutput] = Parse(gaps, /*sqlglot=*/true);
    EXPECT_EQ(gapStatus, 0) << gapOutput;
    std::cout << output << gapOutput;
    // Neither grammar is a rubber stamp: a misspelt keyword fails in both.
    QString typo = QueueSqlFor(Dialect::SqlServer).sweep;
    typo.replace(QLatin1String(" where "), QLatin1String(" wher "));
    EXPECT_NE(Parse({{"typo", AsRun("sweep", typo)}}).first, 0);
    typo = client.rowCommitted;
    typo.replace(QLatin1String(" where "), QLatin1String(" wher "));
    EXPECT_NE(Parse({{"typo", typo}}, /*sqlglot=*/true).first, 0);
}

} // namespace
