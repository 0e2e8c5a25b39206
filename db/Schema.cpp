#include "db/Schema.h"

#include "core/Error.h"
#include "db/SqlError.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <initializer_list>

namespace telvoro {

namespace {

void Run(QSqlQuery& query, bool ok) {
    if (!ok) ThrowSqlError(query.lastError());
}

// The logins that more than one `Users` row holds; none when there is no table yet.
QStringList DuplicateLogins(const QSqlDatabase& db) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    QStringList logins;
    if (!query.exec(QStringLiteral(
            "Select Login from Users group by Login having count(*) > 1 order by Login")))
        return logins;
    while (query.next())
        logins << query.value(0).toString();
    return logins;
}

// Whether a table or index of that name is in the connection's own schema.
bool Exists(const QSqlDatabase& db, Dialect dialect, const char* name) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(ExistsSql(dialect));
    query.addBindValue(QString::fromLatin1(name));
    if (dialect == Dialect::SqlServer) query.addBindValue(QString::fromLatin1(name));
    Run(query, query.exec());
    return query.next() && query.value(0).toLongLong() > 0;
}

// What each version of a database from before SchemaVersion has: the names
// its steps made, and those they dropped.
struct Mark {
    int version;
    std::initializer_list<const char*> present, absent;
};
const Mark kMarks[] = {
    {1, {"Users", "SendTemp"}, {}},       {2, {"UQ_Users_Login"}, {}},
    {3, {"SendDetail", "SendClaim"}, {}}, {4, {"SendTemp_state_ID"}, {}},
    {5, {"SendDetail_Number"}, {}},       {6, {}, {"SendDetail_Status", "SendDetail_Row"}},
};

int JudgedVersion(const QSqlDatabase& db, Dialect dialect) {
    int version = 0;
    for (const Mark& mark : kMarks) {
        for (const char* name : mark.present)
            if (!Exists(db, dialect, name)) return version;
        for (const char* name : mark.absent)
            if (Exists(db, dialect, name)) return version;
        version = mark.version;
    }
    return version;
}

void Record(const QSqlDatabase& db, int version) {
    QSqlQuery query(db);
    Run(query, query.exec(QStringLiteral("Delete from SchemaVersion")));
    query.prepare(QStringLiteral("Insert into SchemaVersion (Version) values (?)"));
    query.addBindValue(version);
    Run(query, query.exec());
}

SchemaChange VersionOf(const QSqlDatabase& db, Dialect dialect) {
    SchemaChange v;
    v.to = CurrentSchemaVersion();
    if (Exists(db, dialect, "SchemaVersion")) {
        QSqlQuery query(db);
        query.setForwardOnly(true);
        Run(query, query.exec(QStringLiteral("Select max(Version) from SchemaVersion")));
        if (query.next() && !query.value(0).isNull()) {
            v.from = query.value(0).toInt();
            v.recorded = true;
            return v;
        }
    }
    v.from = JudgedVersion(db, dialect);
    return v;
}

} // namespace

QString ExistsSql(Dialect dialect) {
    switch (dialect) {
    case Dialect::Sqlite:
        return QStringLiteral("Select count(*) from sqlite_master where name = ? collate nocase");
    case Dialect::Postgres:
        // Unquoted names are folded to lower case; the tables live in the
        // first schema of the search path.
        return QStringLiteral(
            "Select count(*) from pg_class c join pg_namespace n on n.oid = c.relnamespace "
            "where n.nspname = current_schema() and c.relname = lower(?)");
    case Dialect::SqlServer:
        break;
    }
    // Indexes are no objects of sys.objects.
    return QStringLiteral("Select (Select count(*) from sys.objects where name = ? and schema_id = "
                          "schema_id()) + (Select count(*) from sys.indexes where name = ?)");
}

std::vector<SchemaStep> SchemaSteps(Dialect dialect) {
    // "-- step N: title" opens a step; statements end with ";" at a line end.
    static const QRegularExpression stepLine(QStringLiteral("^-- step (\\d+): (.*)$"));
    static const QRegularExpression lineEnd(QStringLiteral("\r?\n"));
    std::vector<SchemaStep> steps;
    QStringList code;
    const auto flush = [&] {
        const QString text = code.join(QLatin1Char('\n'));
        code.clear();
        if (steps.empty()) return;
        static const QRegularExpression statementEnd(QStringLiteral(";[ \t]*(\n|$)"));
        for (const QString& chunk : text.split(statementEnd))
            if (!chunk.trimmed().isEmpty()) steps.back().statements << chunk.trimmed();
    };
    for (const QString& line : QString::fromUtf8(SchemaSql(dialect)).split(lineEnd)) {
        if (const auto m = stepLine.match(line); m.hasMatch()) {
            flush();
            const int version = m.captured(1).toInt();
            if (version != static_cast<int>(steps.size()))
                throw Error("the schema file of " + std::string(NameOf(dialect)) + " has step " +
                            std::to_string(version) + " out of order");
            steps.push_back({version, m.captured(2), {}});
        } else if (!line.trimmed().startsWith(QLatin1String("--"))) {
            code << line;
        }
    }
    flush();
    return steps;
}

int CurrentSchemaVersion() {
    return SchemaSteps(Dialect::Sqlite).back().version;
}

SchemaChange SchemaVersionOf(Connection& c) {
    c.EnsureOpen();
    SchemaChange v;
    c.Watched(c.limits().query, QStringLiteral("read the schema version"),
              [&] { v = VersionOf(c.database(), c.dialect()); });
    return v;
}

SchemaChange UpgradeSchema(Connection& c) {
    c.EnsureOpen();
    SchemaChange change;
    // The upkeep runs under the same limits as the client's calls.
    c.Watched(c.limits().query, QStringLiteral("create the tables"), [&] {
        const QSqlDatabase db = c.database();
        if (const QStringList duplicates = DuplicateLogins(db); !duplicates.isEmpty())
            throw Error(("Users holds these logins more than once: " +
                         duplicates.join(QStringLiteral(", ")) +
                         "; keep one row of each, then run init again")
                            .toStdString());
        change = VersionOf(db, c.dialect());
        if (change.from > change.to)
            throw Error("the database's schema is version " + std::to_string(change.from) +
                        ", newer than this program's " + std::to_string(change.to) +
                        "; use a newer telvoro-admin");
        // Each step is idempotent and recorded once run: a step cut short
        // is run again whole by the next init.
        for (const SchemaStep& step : SchemaSteps(c.dialect())) {
            if (step.version != 0 && step.version <= change.from) continue;
            for (const QString& sql : step.statements) {
                QSqlQuery query(db);
                Run(query, query.exec(sql));
            }
            if (step.version > 0) Record(db, step.version);
        }
        if (!change.recorded && change.from == change.to) Record(db, change.to);
        // The indexes steps 3 and 4 made and step 6 dropped leave free pages
        // behind: a new file starts without them, as it did before the steps.
        if (change.from == 0 && c.dialect() == Dialect::Sqlite) {
            QSqlQuery query(db);
            Run(query, query.exec(QStringLiteral("VACUUM")));
        }
    });
    return change;
}

} // namespace telvoro
