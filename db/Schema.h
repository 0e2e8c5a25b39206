#pragma once
// The server side's tables, for the admin tool to create or upgrade; the
// client never does. Each engine's file (db/schema/*.sql) is a list of
// numbered steps; SchemaVersion records the last one a database has run.

#include "db/Connection.h"

#include <QString>
#include <QStringList>
#include <vector>

namespace telvoro {

// The text of `dialect`'s schema file (compiled in).
const char* SchemaSql(Dialect dialect);

struct SchemaStep {
    int version = 0; // 0: the version table itself, run before any step
    QString title;
    QStringList statements;
};
// The steps of `dialect`'s file in order; throws on a file out of order.
std::vector<SchemaStep> SchemaSteps(Dialect dialect);
// The version this program creates: the last step's number.
int CurrentSchemaVersion();
// The statement that counts the tables and indexes named ? in the
// connection's own schema (SQL Server binds the name twice).
QString ExistsSql(Dialect dialect);

struct SchemaChange {
    int from = 0; // 0: there were no tables
    int to = 0;
    bool recorded = false; // `from` was read from SchemaVersion, not judged by the tables
};

// The version the database is at: the recorded one, else judged by the
// tables and indexes it has; 0 for a database without the client's tables.
SchemaChange SchemaVersionOf(Connection& connection);

// Creates the tables or runs the steps after the database's version and
// records the new one. A `Users` table that already holds one login twice is
// refused by name before anything runs; so is a database newer than this
// program.
SchemaChange UpgradeSchema(Connection& connection);

} // namespace telvoro
