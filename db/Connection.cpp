#include "db/Connection.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "db/CallWatch.h"
#include "db/SqlError.h"
#include "text/QtPath.h"

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlResult>
#include <QUrl>
#include <QVariant>

#include <algorithm>
#include <array>
#include <mutex>
#include <thread>

#ifdef TELVORO_HAVE_LIBPQ
#include <libpq-fe.h>
#endif
#ifdef _WIN32
#include <windows.h> // before sql.h, which uses its types
#endif
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>

namespace telvoro {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

int WholeSeconds(milliseconds limit) {
    return static_cast<int>((limit.count() + 999) / 1000);
}

// A driver handle of the type Qt names `type`, or null.
void* DriverHandle(const QVariant& handle, std::initializer_list<const char*> types) {
    if (!handle.isValid()) return nullptr;
    for (const char* type : types)
        if (qstrcmp(handle.typeName(), type) == 0)
            return *static_cast<void* const*>(handle.constData());
    return nullptr;
}

// ODBC has no per-connection statement time-out in Qt; set it on the handle.
void SetStatementTimeout(QSqlQuery& query, milliseconds limit) {
    // QODBC hands out its SQLHSTMT as "SQLHANDLE" or, in Qt 6, as a plain "void*".
    if (SQLHANDLE handle = DriverHandle(query.result()->handle(), {"SQLHANDLE", "void*"}))
        SQLSetStmtAttr(handle, SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(WholeSeconds(limit))), 0);
}

// The port an ODBC connection string names, or its driver's default; 0 when
// neither is known.
int OdbcPort(const std::string& connectString) {
    const QString text = QString::fromStdString(connectString);
    static const QRegularExpression port(QStringLiteral(R"((?:^|;)\s*PORT\s*=\s*\{?(\d+))"),
                                         QRegularExpression::CaseInsensitiveOption);
    if (const auto m = port.match(text); m.hasMatch()) return m.captured(1).toInt();
    if (text.contains(QLatin1String("PostgreSQL"), Qt::CaseInsensitive)) return 5432;
    // SQL Server's drivers may learn the port of a named instance from SQL
    // Browser: without an explicit port, every socket of the open counts.
    return 0;
}

// Opens are one at a time, so each connection knows its own new sockets.
std::mutex& OpenMutex() {
    static std::mutex mutex;
    return mutex;
}

[[noreturn]] void ThrowTimedOut(const QString& what, milliseconds limit) {
    const long long ms = limit.count();
    const std::string cause =
        "no answer from the server within " +
        (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms");
    throw ServerError(MaskSecrets(what.toStdString()) + ": " + cause, cause);
}

} // namespace

TimeLimits TimeLimits::Uniform(milliseconds limit) {
    TimeLimits limits;
    limits.connect = limits.query = limits.command = limits.commit = limit;
    limits.grace = std::max(milliseconds(50), limit / 4);
    return limits;
}

QString SqlServerConnectString(const DataSource& source, const SqlServerDriver& driver) {
    if (!source.odbc.empty()) return QString::fromStdString(source.odbc);
    // ODBC wants braces around a value with special characters, and a "}" in
    // it doubled; Qt does not escape what it appends itself, so we write it all.
    auto braced = [](QString v) {
        return QLatin1Char('{') + v.replace(QLatin1Char('}'), QLatin1String("}}")) +
               QLatin1Char('}');
    };
    QString server = QString::fromStdString(source.host);
    if (!source.instance.empty())
        server += QLatin1Char('\\') + QString::fromStdString(source.instance);
    if (driver.portInServer && source.port > 0)
        server += QLatin1Char(',') + QString::number(source.port);
    QString s = QStringLiteral("DRIVER=") + braced(driver.name) + QStringLiteral(";SERVER=") +
                braced(server);
    if (!driver.portInServer && source.port > 0)
        s += QStringLiteral(";PORT=") + QString::number(source.port);
    s += QStringLiteral(";DATABASE=") + braced(QString::fromLatin1(kDbCatalog)) +
         QStringLiteral(";UID=") + braced(QString::fromLatin1(kDbUser)) + QStringLiteral(";PWD=") +
         braced(QString::fromLatin1(kDbPassword)) + driver.extraKeywords;
    return s;
}

void Exec(QSqlQuery& query, const QString& what) {
    if (!query.exec()) ThrowSqlError(query.lastError(), what);
}

void ExecDirect(const QSqlDatabase& db, const QString& sql) {
    QSqlQuery query(db);
    if (!query.exec(sql)) ThrowSqlError(query.lastError(), sql);
}

long long CountOf(QSqlQuery& query, const QString& what) {
    Exec(query, what);
    if (!query.next()) throw ServerError(what.toStdString() + ": no result", "no result");
    return query.value(0).toLongLong();
}

Connection::Connection(QString name, TimeLimits limits)
    : name_(std::move(name)), limits_(limits), watch_(std::make_unique<CallWatch>()) {}

Connection::~Connection() {
    Close();
    if (QSqlDatabase::contains(name_)) QSqlDatabase::removeDatabase(name_);
}

QSqlDatabase Connection::database() const {
    return QSqlDatabase::database(name_, false);
}

bool Connection::IsOpen() const {
    return !lost_ && QSqlDatabase::contains(name_) && database().isOpen();
}

void Connection::Close() {
    opened_ = false;
    pgConn_ = sqlite_ = odbcConn_ = nullptr;
    sockets_.Clear();
    backend_.reset();
    inTransaction_ = false;
    lost_ = false;
    if (!QSqlDatabase::contains(name_)) return;
    {
        QSqlDatabase db = database();
        if (db.isOpen()) db.close();
    }
    QSqlDatabase::removeDatabase(name_);
}

void Connection::Open(const DataSource& source, Create create) {
    lostBackend_.reset();
    OpenOnce(source, create);
}

int Connection::ConfigureSqlite(QSqlDatabase& db, const DataSource& source, Create create) {
    std::error_code ec;
    const bool missing = !fs::exists(source.sqliteFile, ec);
    if (!(missing && create == Create::Yes) && !fs::is_regular_file(source.sqliteFile, ec))
        throw Error("无法打开数据库“" + PathText(source.sqliteFile) + "”：" +
                    ReasonText(fs::is_directory(source.sqliteFile, ec) ? EISDIR : ENOENT));
    // mode=rw: open an existing file for writing, never create one.
    db.setDatabaseName(
        QUrl::fromLocalFile(ToQString(fs::absolute(source.sqliteFile)))
            .toString(QUrl::FullyEncoded) +
        (create == Create::Yes ? QStringLiteral("?mode=rwc") : QStringLiteral("?mode=rw")));
    db.setConnectOptions(
        QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(limits_.command.count()));
    return 0;
}

int Connection::ConfigurePostgres(QSqlDatabase& db, const DataSource& source) {
    db.setHostName(QString::fromStdString(source.host));
    if (source.port > 0) db.setPort(source.port);
    db.setDatabaseName(QString::fromLatin1(kDbCatalog));
    db.setUserName(QString::fromLatin1(kDbUser));
    db.setPassword(QString::fromLatin1(kDbPassword));
    // The server ends a statement that runs too long; keepalives notice a
    // dead peer between calls.
    db.setConnectOptions(QStringLiteral("connect_timeout=%1;options='-c statement_timeout=%2';"
                                        "keepalives=1;keepalives_idle=60;"
                                        "keepalives_interval=10;keepalives_count=3")
                             .arg(std::max(2, WholeSeconds(limits_.connect)))
                             .arg(limits_.query.count()));
    return source.port > 0 ? source.port : 5432;
}

int Connection::ConfigureOdbc(QSqlDatabase& db, const DataSource& source) {
    db.setDatabaseName(SqlServerConnectString(source));
    db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%1")
                             .arg(WholeSeconds(limits_.connect)));
    // A named instance without a port is found through SQL Browser on a port
    // of its own: then every socket the open makes is the driver's.
    return !source.odbc.empty()      ? OdbcPort(source.odbc)
           : source.port > 0         ? source.port
           : source.instance.empty() ? 1433
                                     : 0;
}

void Connection::AdoptSqlite(const QSqlDatabase& db) {
    sqlite_ = DriverHandle(db.driver()->handle(), {"sqlite3*"});
}

void Connection::AdoptPostgres(const QSqlDatabase& db) {
    pgConn_ = DriverHandle(db.driver()->handle(), {"PGconn*", "pg_conn*"});
#ifdef TELVORO_HAVE_LIBPQ
    if (!pgConn_) return;
    auto* conn = static_cast<PGconn*>(pgConn_);
    // The server's notices are no failures; libpq would print them.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    sockets_.Add(PQsocket(conn));
    backend_ = PQbackendPID(conn);
#endif
}

void Connection::AdoptOdbc(const QSqlDatabase& db, const std::vector<Socket>& before,
                           int peerPort) {
    odbcConn_ = DriverHandle(db.driver()->handle(), {"SQLHANDLE", "void*"});
    for (const Socket& s : NewSockets(before, peerPort)) {
        sockets_.Add(s);
        KeepAlive(s.fd);
    }
    if (!odbcConn_) return;
    SQLCHAR name[128] = {};
    SQLSMALLINT length = 0;
    if (SQL_SUCCEEDED(SQLGetInfo(odbcConn_, SQL_DBMS_NAME, name, sizeof name, &length))) {
        const QString dbms = QString::fromLatin1(reinterpret_cast<const char*>(name));
        dialect_ = OdbcDialect(dbms);
    }
}

void Connection::OpenOnce(const DataSource& source, Create create) {
    Close();
    ++generation_;
    source_ = source;
    dialect_ = source.engine == Engine::Sqlite       ? Dialect::Sqlite
               : source.engine == Engine::PostgreSql ? Dialect::Postgres
                                                     : Dialect::SqlServer;
    static constexpr std::array drivers{"QSQLITE", "QPSQL", "QODBC"};
    const QString driver = QString::fromLatin1(drivers[static_cast<std::size_t>(source.engine)]);
    if (!QSqlDatabase::isDriverAvailable(driver))
        throw Error("the database driver " + driver.toStdString() + " is not installed");
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, name_);
    int peerPort = 0;
    switch (source.engine) {
    case Engine::Sqlite:
        peerPort = ConfigureSqlite(db, source, create);
        break;
    case Engine::PostgreSql:
        peerPort = ConfigurePostgres(db, source);
        break;
    case Engine::SqlServer:
        peerPort = ConfigureOdbc(db, source);
        break;
    }
    // A failure leaves nothing open: the handles go before the connection.
    const auto giveUp = [&] {
        db = QSqlDatabase();
        Close();
    };
    const QString connectWhat =
        QStringLiteral("cannot connect to ") + QString::fromStdString(source.text);
    {
        std::lock_guard lock(OpenMutex());
        const std::vector<Socket> before =
            source.engine == Engine::Sqlite ? std::vector<Socket>{} : TcpSockets(0);
        bool opened = false;
        {
            WatchedCall watched(*watch_, limits_.connect + limits_.grace, [&before, peerPort] {
                for (const Socket& s : NewSockets(before, peerPort))
                    CutSocket(s.fd);
            });
            opened = db.open();
            if (watched.End()) {
                giveUp();
                ThrowTimedOut(connectWhat, limits_.connect);
            }
        }
        if (!opened) {
            const QSqlError error = db.lastError();
            giveUp();
            ThrowSqlError(error, connectWhat);
        }
        switch (source.engine) {
        case Engine::Sqlite:
            AdoptSqlite(db);
            break;
        case Engine::PostgreSql:
            AdoptPostgres(db);
            break;
        case Engine::SqlServer:
            AdoptOdbc(db, before, peerPort);
            break;
        }
    }
    // One statement that must succeed before the connection counts as open.
    const auto mustRun = [&](const QString& sql, const QString& what, QVariant* result = nullptr) {
        QSqlError error;
        bool timedOut = false;
        {
            WatchedCall watched(*watch_, limits_.connect + limits_.grace, [this] { BreakOff(); });
            QSqlQuery query(db);
            const bool ok = query.exec(sql);
            if (ok && result && query.next()) *result = query.value(0);
            timedOut = watched.End();
            if (ok && !timedOut) return;
            error = query.lastError();
        }
        // An engine that answered in time says why itself.
        if (timedOut && (source.engine != Engine::Sqlite || error.type() == QSqlError::NoError)) {
            giveUp();
            ThrowTimedOut(what, limits_.connect);
        }
        giveUp();
        ThrowSqlError(error, what);
    };
    if (source.engine == Engine::SqlServer && dialect_ == Dialect::SqlServer) {
        // The deduction is judged by its row count, which SET NOCOUNT ON (a
        // server's default user options) would hide.
        mustRun(QStringLiteral("SET NOCOUNT OFF"), QStringLiteral("SET NOCOUNT OFF"));
    }
    if (source.engine == Engine::SqlServer && dialect_ == Dialect::Postgres) {
        QVariant pid;
        mustRun(QStringLiteral("Select pg_backend_pid()"), connectWhat, &pid);
        if (pid.isValid()) backend_ = pid.toLongLong();
    }
    if (source.engine == Engine::Sqlite) {
        // The file opens lazily: make sure it is a database now. A file locked
        // by a writer answers "database is locked" within the connect limit,
        // not after the longer wait of a statement.
        const QString what =
            QStringLiteral("cannot open ") + QString::fromStdString(PathText(source.sqliteFile));
        if (lockWait_ && sqlite_) {
            // The same limits, waited out in short steps the window can show.
            busyLimit_ = limits_.connect;
            sqlite3_busy_handler(static_cast<sqlite3*>(sqlite_), &Connection::BusyWait, this);
            const LockWaitEnd end{*this};
            mustRun(QStringLiteral("PRAGMA schema_version"), what);
            busyLimit_ = limits_.command;
        } else {
            mustRun(QStringLiteral("PRAGMA busy_timeout=%1").arg(limits_.connect.count()), what);
            mustRun(QStringLiteral("PRAGMA schema_version"), what);
            mustRun(QStringLiteral("PRAGMA busy_timeout=%1").arg(limits_.command.count()), what);
        }
    }
    opened_ = true;
}

void Connection::EnsureOpen() {
    if (!lost_ && opened_ && !IsOpen()) MarkLost(); // the driver closed it on its own
    if (!lost_) {
        if (!IsOpen()) throw Error("not connected to the server");
        return;
    }
    // Refused connections are tried again until the connect limit has passed.
    const auto deadline = std::chrono::steady_clock::now() + limits_.connect;
    const milliseconds pause = std::min(milliseconds(1000), limits_.connect / 5);
    for (;;) {
        try {
            OpenOnce(source_, Create::No);
            return;
        } catch (const Error&) {
            lost_ = true; // a failed open closed everything; still to be reopened
            if (std::chrono::steady_clock::now() + pause >= deadline) throw;
        }
        std::this_thread::sleep_for(pause);
    }
}

void Connection::RequireOpen(const QString& what) const {
    if (lost_) {
        const std::string cause = "the connection to the server was lost";
        throw ServerError(what.toStdString() + ": " + cause, cause);
    }
    if (!IsOpen()) throw Error(what.toStdString() + ": not connected to the server");
}

void Connection::BreakOff() {
    if (sqlite_) sqlite3_interrupt(static_cast<sqlite3*>(sqlite_));
    sockets_.CutAll();
}

bool Connection::ConnectionDead() const {
#ifdef TELVORO_HAVE_LIBPQ
    if (pgConn_) return PQstatus(static_cast<PGconn*>(pgConn_)) == CONNECTION_BAD;
#endif
    if (odbcConn_) {
        SQLUINTEGER dead = SQL_CD_FALSE;
        return SQL_SUCCEEDED(
                   SQLGetConnectAttr(odbcConn_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
               dead == SQL_CD_TRUE;
    }
    return false;
}

void Connection::MarkLost() {
    if (lost_) return;
    lost_ = true;
    lostBackend_ = backend_;
}

void Connection::Watched(milliseconds limit, const QString& what,
                         const std::function<void()>& body) {
    // The engine's own time-out answers first.
    WatchedCall watched(*watch_, limit + limits_.grace, [this] { BreakOff(); });
    const LockWaitEnd end{*this};
    try {
        body();
    } catch (const Error&) {
        const bool timedOut = watched.End();
        if (timedOut && source_.engine != Engine::Sqlite) MarkLost();
        if (!lost_ && (ConnectionDead() || (opened_ && !database().isOpen()))) MarkLost();
        if (timedOut) ThrowTimedOut(what, limit);
        throw;
    }
    // An answer that came as the socket was cut: the connection is gone all the same.
    if (watched.End() && source_.engine != Engine::Sqlite) MarkLost();
}

QSqlQuery Connection::Prepare(const QString& sql, milliseconds limit) const {
    QSqlQuery query(database());
    query.setForwardOnly(true);
    if (!query.prepare(sql)) ThrowSqlError(query.lastError(), sql);
    if (source_.engine == Engine::SqlServer) SetStatementTimeout(query, limit);
    return query;
}

void Connection::RunStep(Step step, const QString& what) {
    QSqlDatabase db = database();
    if (source_.engine == Engine::Sqlite) {
        // Take the write lock at once: two writers that both read first would
        // otherwise deadlock on the upgrade instead of waiting their turn.
        static constexpr std::array sql{"BEGIN IMMEDIATE", "COMMIT", "ROLLBACK"};
        QSqlQuery query(db);
        if (query.exec(QString::fromLatin1(sql[static_cast<std::size_t>(step)]))) return;
        // SQLite may already have rolled back on its own after some errors.
        if (step == Step::Rollback &&
            query.lastError().text().contains(QLatin1String("no transaction"), Qt::CaseInsensitive))
            return;
        ThrowSqlError(query.lastError(), what);
    }
    const bool ok = step == Step::Begin    ? db.transaction()
                    : step == Step::Commit ? db.commit()
                                           : db.rollback();
    if (!ok) ThrowSqlError(db.lastError(), what);
}

void Connection::Begin(milliseconds limit) {
    if (inTransaction_) throw Error("a transaction is already open");
    EnsureOpen();
    const QString what = QStringLiteral("begin transaction");
    Watched(limit, what, [&] { RunStep(Step::Begin, what); });
    inTransaction_ = true;
}

void Connection::Commit() {
    const QString what = QStringLiteral("commit");
    RequireOpen(what);
    Watched(limits_.commit, what, [&] { RunStep(Step::Commit, what); });
    inTransaction_ = false;
}

void Connection::Rollback() {
    if (!inTransaction_) return;
    inTransaction_ = false;
    // A lost connection takes its transaction with it: nothing left to undo.
    if (lost_) return;
    const QString what = QStringLiteral("rollback");
    try {
        Watched(limits_.command, what, [&] { RunStep(Step::Rollback, what); });
    } catch (const Error&) {
        if (lost_) return;
        // A transaction that could not be undone must not linger on this
        // connection (a later lookup would see its row, a later commit keep
        // it): the connection is given up and opened anew at the next call.
        MarkLost();
        throw;
    }
}

} // namespace telvoro
