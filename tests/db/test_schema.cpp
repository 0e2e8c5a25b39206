// The schema's steps on every engine there is: a database of every shape this
// project has shipped (before SchemaVersion existed: the steps up to that
// version, as each create script was then) upgrades to the current version,
// keeps its rows and ends with the tables and indexes a new one has.

#include "core/Error.h"
#include "db/Schema.h"
#include "server/ServerUpkeep.h"
#include "tests/support/Engines.h"

#include <QSqlQuery>
#include <QVariant>
#include <gtest/gtest.h>

using namespace telvoro;
using namespace telvoro::testing;

namespace {

class Schema : public ::testing::TestWithParam<const char*> {};

TEST_P(Schema, EveryShippedShapeUpgradesToTheCurrentVersion) {
    const int current = CurrentSchemaVersion();
    ASSERT_GE(current, 6);
    for (int shipped = 1; shipped <= 6; ++shipped) {
        SCOPED_TRACE("from version " + std::to_string(shipped));
        const EngineDatabase db = MakeEngineDatabase(GetParam(), /*withTables=*/false);
        TELVORO_ENGINE_OR_SKIP(db);
        Connection c(QStringLiteral("schema-test"));
        c.Open(Source(db.text));
        // The shape as shipped: its steps, no version table.
        for (const SchemaStep& step : SchemaSteps(c.dialect()))
            if (step.version >= 1 && step.version <= shipped)
                for (const QString& sql : step.statements)
                    ExecDirect(c.database(), sql);
        ExecDirect(c.database(),
                   QStringLiteral("Insert into SendTemp (SendNo, SendMemo, list, state) values "
                                  "('13800138000', 'hi', '13900000001', '0')"));
        const SchemaChange judged = SchemaVersionOf(c);
        EXPECT_EQ(judged.from, shipped);
        EXPECT_FALSE(judged.recorded);
        const SchemaChange change = ServerUpkeep(c).CreateTables();
        EXPECT_EQ(change.from, shipped);
        EXPECT_EQ(change.to, current);
        const SchemaChange after = SchemaVersionOf(c);
        EXPECT_TRUE(after.recorded);
        EXPECT_EQ(after.from, current);
        QSqlQuery q(c.database());
        ASSERT_TRUE(q.exec(QStringLiteral("Select count(*) from SendTemp")) && q.next());
        EXPECT_EQ(q.value(0).toInt(), 1);
        // Step 8's table, for telvoro-admin status.
        EXPECT_TRUE(q.exec(QStringLiteral("Select count(*) from SendWorker")) && q.next());
        // Run again, nothing changes.
        const SchemaChange again = ServerUpkeep(c).CreateTables();
        EXPECT_EQ(again.from, current);
        EXPECT_TRUE(again.recorded);
        // The shape reached is the one a new database has: judged without
        // its record, it is the current version.
        ExecDirect(c.database(), QStringLiteral("Delete from SchemaVersion"));
        EXPECT_EQ(SchemaVersionOf(c).from, std::min(current, 6));
    }
}

TEST_P(Schema, NewDatabaseIsCreatedAtTheCurrentVersionAndANewerOneIsRefused) {
    const EngineDatabase db = MakeEngineDatabase(GetParam(), /*withTables=*/false);
    TELVORO_ENGINE_OR_SKIP(db);
    Connection c(QStringLiteral("schema-test"));
    c.Open(Source(db.text));
    const SchemaChange made = ServerUpkeep(c).CreateTables();
    EXPECT_EQ(made.from, 0);
    EXPECT_EQ(made.to, CurrentSchemaVersion());
    ExecDirect(c.database(), QStringLiteral("Update SchemaVersion set Version=Version+1"));
    try {
        ServerUpkeep(c).CreateTables();
        ADD_FAILURE() << "a newer schema was taken";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("newer than this program's"), std::string::npos)
            << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Schema, ::testing::ValuesIn(kEngines),
                         [](const auto& info) { return std::string(info.param); });

} // namespace
