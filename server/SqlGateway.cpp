#include "server/SqlGateway.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/TextRules.h"
#include "server/CallWatch.h"
#include "server/SqlError.h"
#include "text/GbkCodec.h"
#include "text/QtPath.h"

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QUrl>
#include <QVariant>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <dirent.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace telvoro {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

// Logins come from a deciphered file and may hold bytes that are not GBK: such
// a login simply matches no account.
QString LoginText(const std::string& login) {
    return FromGbk(login, /*lenient=*/true);
}

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

// Prepares `sql` on `db` with the engine's time-out for it.
QSqlQuery Prepare(const QSqlDatabase& db, Engine engine, const QString& sql, milliseconds limit) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(sql)) ThrowSqlError(query.lastError(), sql);
    if (engine == Engine::SqlServer) SetStatementTimeout(query, limit);
    return query;
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

// The process's TCP sockets, each by descriptor and inode. The drivers that
// keep their socket to themselves are found by what appeared while they
// connected; `peerPort` (when not 0) keeps those connected to that port or
// still connecting.
struct Socket {
    int fd;
    ino_t inode;
    bool operator==(const Socket&) const = default;
};

std::vector<Socket> TcpSockets(int peerPort) {
    std::vector<Socket> sockets;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return sockets;
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(dir)) continue;
        struct stat st {};
        if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        int type = 0;
        socklen_t length = sizeof type;
        if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
            type != SOCK_STREAM)
            continue;
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        int port = 0;
        if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerLength) ==
            0) {
            if (peer.ss_family == AF_INET)
                port = ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port);
            else if (peer.ss_family == AF_INET6)
                port = ntohs(reinterpret_cast<const sockaddr_in6&>(peer).sin6_port);
            else
                continue;
        } else {
            sockaddr_storage self{};
            socklen_t selfLength = sizeof self;
            if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&self),
                            &selfLength) != 0 ||
                (self.ss_family != AF_INET && self.ss_family != AF_INET6))
                continue;
            int listening = 0;
            length = sizeof listening;
            if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) ==
                    0 &&
                listening)
                continue;
        }
        if (peerPort != 0 && port != 0 && port != peerPort) continue;
        sockets.push_back({static_cast<int>(fd), st.st_ino});
    }
    closedir(dir);
    return sockets;
}

std::vector<Socket> NewSockets(const std::vector<Socket>& before, int peerPort) {
    std::vector<Socket> fresh;
    for (const Socket& s : TcpSockets(peerPort))
        if (std::find(before.begin(), before.end(), s) == before.end()) fresh.push_back(s);
    return fresh;
}

// Ends whatever the socket is doing: a blocked read or write returns at
// once; a connect still under way is dissolved.
void CutSocket(int fd) {
    if (shutdown(fd, SHUT_RDWR) == 0) return;
    sockaddr none{};
    none.sa_family = AF_UNSPEC;
    (void)connect(fd, &none, sizeof none);
}

// Lets the kernel notice a dead peer between calls.
void KeepAlive(int fd) {
    const int on = 1, idle = 60, interval = 10, count = 3;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
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

TimeLimits TimeLimits::ForThisProcess() {
    TimeLimits limits;
    if (const char* text = std::getenv("TELVORO_TEST_TIME_LIMITS_MS")) {
        const long long ms = std::atoll(text);
        if (ms > 0) {
            limits.connect = limits.query = limits.command = limits.commit = milliseconds(ms);
            limits.grace = milliseconds(std::max(50LL, ms / 4));
        }
    }
    return limits;
}

QString SqlServerConnectString(const DataSource& source) {
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
    QString s = QStringLiteral("DRIVER={FreeTDS};SERVER=") + braced(server);
    if (source.port > 0) s += QStringLiteral(";PORT=") + QString::number(source.port);
    s += QStringLiteral(";DATABASE=") + braced(QString::fromLatin1(kDbCatalog)) +
         QStringLiteral(";UID=") + braced(QString::fromLatin1(kDbUser)) + QStringLiteral(";PWD=") +
         braced(QString::fromLatin1(kDbPassword)) +
         QStringLiteral(";TDS_Version=7.4;ClientCharset=UTF-8");
    return s;
}

SqlGateway::SqlGateway(QString connectionName, TimeLimits limits)
    : name_(std::move(connectionName)), limits_(limits), watch_(std::make_unique<CallWatch>()) {}

SqlGateway::~SqlGateway() {
    Close();
    if (QSqlDatabase::contains(name_)) QSqlDatabase::removeDatabase(name_);
}

QSqlDatabase SqlGateway::connection() const {
    return QSqlDatabase::database(name_, false);
}

bool SqlGateway::IsOpen() const {
    return !lost_ && QSqlDatabase::contains(name_) && connection().isOpen();
}

void SqlGateway::Close() {
    pgConn_ = sqlite_ = odbcConn_ = nullptr;
    sockets_.clear();
    backend_.reset();
    inTransaction_ = false;
    lost_ = false;
    columns_.clear();
    if (!QSqlDatabase::contains(name_)) return;
    {
        QSqlDatabase db = connection();
        if (db.isOpen()) db.close();
    }
    QSqlDatabase::removeDatabase(name_);
}

void SqlGateway::Open(const DataSource& source, Create create) {
    lostBackend_.reset();
    OpenOnce(source, create);
}

void SqlGateway::OpenOnce(const DataSource& source, Create create) {
    Close();
    source_ = source;
    opened_ = true;
    static constexpr std::array drivers{"QSQLITE", "QPSQL", "QODBC"};
    const QString driver = QString::fromLatin1(drivers[static_cast<std::size_t>(source.engine)]);
    if (!QSqlDatabase::isDriverAvailable(driver))
        throw Error("the database driver " + driver.toStdString() + " is not installed");
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, name_);
    int peerPort = 0;
    switch (source.engine) {
    case Engine::Sqlite: {
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
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1")
                                 .arg(limits_.command.count()));
        break;
    }
    case Engine::PostgreSql:
        db.setHostName(QString::fromStdString(source.host));
        if (source.port > 0) db.setPort(source.port);
        peerPort = source.port > 0 ? source.port : 5432;
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
        break;
    case Engine::SqlServer:
        db.setDatabaseName(SqlServerConnectString(source));
        // A named instance without a port is found through SQL Browser on a
        // port of its own: then every socket the open makes is the driver's.
        peerPort = !source.odbc.empty()      ? OdbcPort(source.odbc)
                   : source.port > 0         ? source.port
                   : source.instance.empty() ? 1433
                                             : 0;
        db.setConnectOptions(
            QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%1")
                .arg(WholeSeconds(limits_.connect)));
        break;
    }
    // A failure leaves nothing open: the handles go before the connection.
    const auto fail = [&](const QString& what, const QSqlError& error) {
        db = QSqlDatabase();
        Close();
        ThrowSqlError(error, what);
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
                db = QSqlDatabase();
                Close();
                ThrowTimedOut(connectWhat, limits_.connect);
            }
        }
        if (!opened) fail(connectWhat, db.lastError());
        const QVariant handle = db.driver()->handle();
        switch (source.engine) {
        case Engine::Sqlite:
            sqlite_ = DriverHandle(handle, {"sqlite3*"});
            break;
        case Engine::PostgreSql:
            pgConn_ = DriverHandle(handle, {"PGconn*", "pg_conn*"});
            if (pgConn_) {
                // The server's notices are no failures; libpq would print them.
                PQsetNoticeProcessor(
                    static_cast<PGconn*>(pgConn_), [](void*, const char*) {}, nullptr);
                const int fd = PQsocket(static_cast<PGconn*>(pgConn_));
                struct stat st {};
                if (fd >= 0 && fstat(fd, &st) == 0) sockets_.emplace_back(fd, st.st_ino);
                backend_ = PQbackendPID(static_cast<PGconn*>(pgConn_));
            }
            postgresDbms_ = true;
            break;
        case Engine::SqlServer:
            odbcConn_ = DriverHandle(handle, {"SQLHANDLE", "void*"});
            for (const Socket& s : NewSockets(before, peerPort)) {
                sockets_.emplace_back(s.fd, s.inode);
                KeepAlive(s.fd);
            }
            break;
        }
    }
    sqlServerDbms_ = false;
    if (source.engine == Engine::SqlServer) {
        postgresDbms_ = false;
        if (odbcConn_) {
            SQLCHAR name[128] = {};
            SQLSMALLINT length = 0;
            if (SQL_SUCCEEDED(SQLGetInfo(odbcConn_, SQL_DBMS_NAME, name, sizeof name, &length))) {
                const QString dbms = QString::fromLatin1(reinterpret_cast<const char*>(name));
                sqlServerDbms_ = dbms.contains(QLatin1String("SQL Server"), Qt::CaseInsensitive);
                postgresDbms_ = dbms.contains(QLatin1String("PostgreSQL"), Qt::CaseInsensitive);
            }
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
        if (timedOut) {
            db = QSqlDatabase();
            Close();
            ThrowTimedOut(what, limits_.connect);
        }
        fail(what, error);
    };
    if (source.engine == Engine::SqlServer && sqlServerDbms_) {
        // The deduction is judged by its row count, which SET NOCOUNT ON (a
        // server's default user options) would hide.
        mustRun(QStringLiteral("SET NOCOUNT OFF"), QStringLiteral("SET NOCOUNT OFF"));
    }
    if (source.engine == Engine::SqlServer && postgresDbms_) {
        QVariant pid;
        mustRun(QStringLiteral("Select pg_backend_pid()"), connectWhat, &pid);
        if (pid.isValid()) backend_ = pid.toLongLong();
    }
    if (source.engine == Engine::Sqlite) {
        // The file opens lazily: make sure it is a database now.
        mustRun(QStringLiteral("PRAGMA schema_version"),
                QStringLiteral("cannot open ") +
                    QString::fromStdString(PathText(source.sqliteFile)));
    }
}

void SqlGateway::EnsureOpen() {
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

void SqlGateway::RequireOpen(const QString& what) const {
    if (lost_) {
        const std::string cause = "the connection to the server was lost";
        throw ServerError(what.toStdString() + ": " + cause, cause);
    }
    if (!IsOpen()) throw Error(what.toStdString() + ": not connected to the server");
}

void SqlGateway::BreakOff() {
    if (sqlite_) sqlite3_interrupt(static_cast<sqlite3*>(sqlite_));
    for (const auto& [fd, inode] : sockets_) {
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == inode) CutSocket(fd);
    }
}

bool SqlGateway::ConnectionDead() const {
    if (pgConn_) return PQstatus(static_cast<PGconn*>(pgConn_)) == CONNECTION_BAD;
    if (odbcConn_) {
        SQLUINTEGER dead = SQL_CD_FALSE;
        return SQL_SUCCEEDED(
                   SQLGetConnectAttr(odbcConn_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
               dead == SQL_CD_TRUE;
    }
    return false;
}

void SqlGateway::MarkLost() {
    if (lost_) return;
    lost_ = true;
    lostBackend_ = backend_;
}

void SqlGateway::Watched(milliseconds limit, const QString& what,
                         const std::function<void()>& body) {
    // The engine's own time-out answers first.
    WatchedCall watched(*watch_, limit + limits_.grace, [this] { BreakOff(); });
    try {
        body();
    } catch (const Error&) {
        const bool timedOut = watched.End();
        if (timedOut && source_.engine != Engine::Sqlite) MarkLost();
        if (!lost_ && ConnectionDead()) MarkLost();
        if (timedOut) ThrowTimedOut(what, limit);
        throw;
    }
    // An answer that came as the socket was cut: the connection is gone all the same.
    if (watched.End() && source_.engine != Engine::Sqlite) MarkLost();
}

std::optional<std::string> SqlGateway::QueryCredit(const std::string& login) {
    EnsureOpen();
    std::optional<std::string> credit;
    const QString what = QStringLiteral("credit query");
    Watched(limits_.query, what, [&] {
        QSqlQuery query =
            Prepare(connection(), source_.engine,
                    QStringLiteral("Select CurrSum from Users where login=?"), limits_.query);
        query.addBindValue(LoginText(login));
        Exec(query, what);
        if (!query.next()) return;
        const QVariant value = query.value(0);
        credit = ToGbk(value.isNull() ? QString() : value.toString());
    });
    return credit;
}

void SqlGateway::BeginTransaction() {
    if (inTransaction_) throw Error("a transaction is already open");
    EnsureOpen();
    const QString what = QStringLiteral("begin transaction");
    Watched(limits_.command, what, [&] {
        QSqlDatabase db = connection();
        if (source_.engine == Engine::Sqlite) {
            // Take the write lock at once: two clients that both read first would
            // otherwise deadlock on the upgrade instead of waiting their turn.
            ExecDirect(db, QStringLiteral("BEGIN IMMEDIATE"));
        } else if (!db.transaction()) {
            ThrowSqlError(db.lastError(), what);
        }
    });
    inTransaction_ = true;
}

std::int64_t SqlGateway::InsertSendRow(const std::string& sendNo, const std::string& memo,
                                       const std::string& list) {
    const QString what = QStringLiteral("append to SendTemp");
    RequireOpen(what);
    std::int64_t id = 0;
    Watched(limits_.query, what, [&] {
        QSqlDatabase db = connection();
        if (columns_.isEmpty()) {
            // The queue's columns as the server names them (PostgreSQL folds case).
            const QString probeSql = QStringLiteral("Select * from SendTemp where ID=0");
            QSqlQuery probe = Prepare(db, source_.engine, probeSql, limits_.query);
            Exec(probe, probeSql);
            const QSqlRecord record = probe.record();
            QStringList names;
            for (const char* wanted : {"SendNo", "SendMemo", "list", "state"}) {
                const int i = record.indexOf(QString::fromLatin1(wanted));
                if (i < 0) throw Error(std::string("SendTemp has no column ") + wanted);
                names << db.driver()->escapeIdentifier(record.fieldName(i), QSqlDriver::FieldName);
            }
            columns_ = names;
        }
        // The row's ID comes back inside the transaction, so a commit whose
        // answer is lost can still be settled.
        QString sql = QStringLiteral("Insert into SendTemp (%1) values (?, ?, ?, ?)")
                          .arg(columns_.join(QStringLiteral(", ")));
        if (sqlServerDbms_)
            sql += QStringLiteral("; Select SCOPE_IDENTITY()");
        else if (source_.engine != Engine::Sqlite)
            sql += QStringLiteral(" RETURNING ID");
        QSqlQuery insert = Prepare(db, source_.engine, sql, limits_.query);
        insert.addBindValue(FromGbk(sendNo, true));
        insert.addBindValue(FromGbk(memo));
        insert.addBindValue(FromGbk(list));
        insert.addBindValue(QStringLiteral("0"));
        Exec(insert, what);
        if (source_.engine == Engine::Sqlite) {
            id = insert.lastInsertId().toLongLong();
        } else {
            while (!insert.isSelect() && insert.nextResult()) {
            }
            if (insert.next()) id = insert.value(0).toLongLong();
        }
        if (id <= 0)
            throw ServerError(what.toStdString() + ": the server gave no row ID",
                              "the server gave no row ID");
    });
    return id;
}

long long SqlGateway::Deduct(const std::string& login, std::int32_t price) {
    const QString what = QStringLiteral("credit deduction");
    RequireOpen(what);
    long long changed = 0;
    Watched(limits_.command, what, [&] {
        QSqlDatabase db = connection();
        if (source_.engine == Engine::PostgreSql)
            ExecDirect(
                db,
                QStringLiteral("SET LOCAL statement_timeout = %1").arg(limits_.command.count()));
        QSqlQuery update = Prepare(
            db, source_.engine,
            QStringLiteral("Update Users set CurrSum=CurrSum-? where Login=? and CurrSum>=?"),
            limits_.command);
        update.addBindValue(price);
        update.addBindValue(LoginText(login));
        update.addBindValue(price);
        Exec(update, what);
        changed = update.numRowsAffected();
    });
    return changed;
}

void SqlGateway::Commit() {
    const QString what = QStringLiteral("commit");
    try {
        RequireOpen(what);
        Watched(limits_.commit, what, [&] {
            QSqlDatabase db = connection();
            if (source_.engine == Engine::Sqlite) {
                ExecDirect(db, QStringLiteral("COMMIT"));
            } else if (!db.commit()) {
                ThrowSqlError(db.lastError(), what);
            }
        });
    } catch (const ServerError& e) {
        throw CommitUncertain(e.what(), e.cause());
    } catch (const Error& e) {
        throw CommitUncertain(e.what(), e.what());
    }
    inTransaction_ = false;
}

void SqlGateway::Rollback() {
    if (!inTransaction_) return;
    inTransaction_ = false;
    // A lost connection takes its transaction with it: nothing left to undo.
    if (lost_) return;
    const QString what = QStringLiteral("rollback");
    try {
        Watched(limits_.command, what, [&] {
            QSqlDatabase db = connection();
            if (source_.engine == Engine::Sqlite) {
                QSqlQuery query(db);
                // SQLite may already have rolled back on its own after some errors.
                if (!query.exec(QStringLiteral("ROLLBACK")) &&
                    !query.lastError().text().contains(QLatin1String("no transaction"),
                                                       Qt::CaseInsensitive))
                    ThrowSqlError(query.lastError(), what);
            } else if (!db.rollback()) {
                ThrowSqlError(db.lastError(), what);
            }
        });
    } catch (const Error&) {
        if (lost_) return;
        // A transaction that could not be undone must not linger on this
        // connection (a later lookup would see its row, a later commit keep
        // it): the connection is given up and opened anew at the next call.
        MarkLost();
        throw;
    }
}

bool SqlGateway::LookUpRow(std::int64_t id) {
    EnsureOpen();
    const QString what = QStringLiteral("look up row %1 of SendTemp").arg(id);
    bool sessionLives = false;
    if (lostBackend_ && postgresDbms_) {
        // The lost session may still be committing: end it first, so that
        // what the lookup finds is final.
        Watched(limits_.commit, what, [&] {
            QSqlDatabase db = connection();
            QSqlQuery end =
                Prepare(db, source_.engine, QStringLiteral("Select pg_terminate_backend(?, ?)"),
                        limits_.commit);
            end.addBindValue(*lostBackend_);
            end.addBindValue(static_cast<qlonglong>(limits_.commit.count() / 2));
            Exec(end, what);
            QSqlQuery alive =
                Prepare(db, source_.engine,
                        QStringLiteral("Select count(*) from pg_stat_activity where pid=?"),
                        limits_.commit);
            alive.addBindValue(*lostBackend_);
            sessionLives = CountOf(alive, what) > 0;
        });
    }
    bool found = false;
    Watched(limits_.query, what, [&] {
        QSqlQuery query =
            Prepare(connection(), source_.engine,
                    // Under read-committed snapshot a lookup would not wait for
                    // the lost session's lock on the row and could miss a
                    // commit still under way.
                    sqlServerDbms_
                        ? QStringLiteral(
                              "Select count(*) from SendTemp with (READCOMMITTEDLOCK) where ID=?")
                        : QStringLiteral("Select count(*) from SendTemp where ID=?"),
                    limits_.query);
        query.addBindValue(static_cast<qlonglong>(id));
        found = CountOf(query, what) > 0;
    });
    if (found) {
        lostBackend_.reset();
        return true;
    }
    if (sessionLives) {
        const std::string cause = "the session that sent its commit still runs";
        throw ServerError(what.toStdString() + ": " + cause, cause);
    }
    lostBackend_.reset();
    return false;
}

} // namespace telvoro
