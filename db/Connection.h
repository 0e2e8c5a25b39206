#pragma once
// One watched connection to the SMS server's database on Qt SQL: the embedded
// SQLite database, PostgreSQL, or Microsoft SQL Server (ODBC/FreeTDS). Every
// call runs under a limit that the process enforces itself: the engine's own
// time-out answers first, and a grace later a watchdog cuts the connection,
// which then counts as lost and is opened again at the next call that may.
// The client's gateway, the admin upkeep and the queue server sit on it.

#include "db/Dialect.h"
#include "db/SocketCutter.h"
#include "db/SqlServerDriver.h"
#include "files/DataSource.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace telvoro {

// The fixed connection settings.
inline constexpr const char* kDbUser = "gsm";
inline constexpr const char* kDbPassword = "qelvix:-!";
inline constexpr const char* kDbCatalog = "Orvanta";
inline constexpr int kConnectTimeoutSeconds = 15;
inline constexpr int kQueryTimeoutSeconds = 300;
inline constexpr int kCommandTimeoutSeconds = 30;

// How long each call may take before the process breaks it off itself,
// whatever the server does.
struct TimeLimits {
    std::chrono::milliseconds connect{kConnectTimeoutSeconds * 1000};
    std::chrono::milliseconds query{kQueryTimeoutSeconds * 1000};     // credit query, append
    std::chrono::milliseconds command{kCommandTimeoutSeconds * 1000}; // deduction, begin, rollback
    std::chrono::milliseconds commit{kCommandTimeoutSeconds * 1000};
    std::chrono::milliseconds grace{2000};

    static TimeLimits Stated() { return {}; }
    // Every limit `limit`, the grace a quarter of it (at least 50 ms).
    static TimeLimits Uniform(std::chrono::milliseconds limit);
};

// Whether opening a SQLite data source may create its file (the admin tool
// and the queue server's set-up); the client never creates one.
enum class Create { No, Yes };

// The ODBC connection string for a SQL Server data source, for `driver`.
QString SqlServerConnectString(const DataSource& source,
                               const SqlServerDriver& driver = LocalSqlServerDriver());

class CallWatch;

class Connection {
public:
    // `name` names the Qt SQL connection; one Connection per name.
    explicit Connection(QString name, TimeLimits limits = TimeLimits::Stated());
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Closes the connection if open, then opens it on `source`. Throws
    // ServerError with the driver's text when it cannot be opened; a missing
    // SQLite file is such a failure unless `create` says otherwise.
    void Open(const DataSource& source, Create create = Create::No);
    void Close();
    // Open and not lost.
    bool IsOpen() const;
    bool Lost() const { return lost_; }
    Engine engine() const { return source_.engine; }
    const DataSource& source() const { return source_; }
    // The SQL the engine speaks (see Dialect.h); known once open.
    Dialect dialect() const { return dialect_; }
    const TimeLimits& limits() const { return limits_; }
    // The server process of this connection on PostgreSQL (also through
    // ODBC); nothing on other engines.
    std::optional<long long> BackendId() const { return backend_; }
    // The backend of the session that was lost, until Forget... is called.
    std::optional<long long> LostBackendId() const { return lostBackend_; }
    void ForgetLostBackend() { lostBackend_.reset(); }
    QSqlDatabase database() const;
    // Counts the opens: a statement prepared on an earlier one must not run
    // (its driver is gone with the connection).
    quint64 Generation() const { return generation_; }

    // Reopens a lost connection (also one the driver closed on its own),
    // trying again until the connect limit has passed; throws when the
    // connection was never opened.
    void EnsureOpen();
    // Inside a transaction a lost connection cannot be replaced: throws.
    void RequireOpen(const QString& what) const;
    // Runs `body` under the watchdog with `limit`; a failure that broke the
    // connection, or the limit running out, marks the connection lost and
    // throws ServerError.
    void Watched(std::chrono::milliseconds limit, const QString& what,
                 const std::function<void()>& body);
    // A forward-only prepared statement with the engine's time-out for `limit`.
    QSqlQuery Prepare(const QString& sql, std::chrono::milliseconds limit) const;

    // One transaction at a time. Begin takes SQLite's write lock at once
    // (BEGIN IMMEDIATE). Rollback is quiet on a lost connection (the
    // transaction went with it); a rollback that fails gives the connection up.
    void Begin(std::chrono::milliseconds limit);
    void Begin() { Begin(limits_.command); }
    void Commit();
    void Rollback();
    bool InTransaction() const { return inTransaction_; }

    void MarkLost();

    // Called on the calling thread about every 20 ms while a call has waited
    // more than half a second for another program's lock on an embedded
    // database (true), and once when that call is over (false), so a window
    // can say so and repaint. The limits stay as they are. Set before Open.
    void SetLockWait(std::function<void(bool waiting)> hook) { lockWait_ = std::move(hook); }

private:
    // SQLite's busy handler when a lock-wait hook is set.
    static int BusyWait(void* self, int count);
    void EndLockWait();
    struct LockWaitEnd {
        Connection& c;
        ~LockWaitEnd() { c.EndLockWait(); }
    };
    enum class Step { Begin, Commit, Rollback };
    // The one place that knows how each engine begins, commits and rolls back.
    void RunStep(Step step, const QString& what);
    void OpenOnce(const DataSource& source, Create create);
    // The per-engine part of an open: settings before, handles after.
    int ConfigureSqlite(QSqlDatabase& db, const DataSource& source, Create create);
    int ConfigurePostgres(QSqlDatabase& db, const DataSource& source);
    int ConfigureOdbc(QSqlDatabase& db, const DataSource& source);
    void AdoptSqlite(const QSqlDatabase& db);
    void AdoptPostgres(const QSqlDatabase& db);
    void AdoptOdbc(const QSqlDatabase& db, const std::vector<Socket>& before, int peerPort);
    void BreakOff(); // on the watchdog's thread
    bool ConnectionDead() const;

    QString name_;
    TimeLimits limits_;
    std::unique_ptr<CallWatch> watch_;
    DataSource source_;
    // opened_: open and not closed by us, so a connection found closed is lost, not absent.
    bool opened_ = false, inTransaction_ = false, lost_ = false;
    quint64 generation_ = 0;
    Dialect dialect_ = Dialect::Sqlite;
    // The driver's handles, for breaking a call off from the watchdog.
    void* pgConn_ = nullptr;
    void* sqlite_ = nullptr;
    void* odbcConn_ = nullptr;
    SocketCutter sockets_;
    std::optional<long long> backend_;
    // The session that was lost while it may have been committing.
    std::optional<long long> lostBackend_;
    std::function<void(bool)> lockWait_;
    std::chrono::milliseconds busyLimit_{0};
    std::chrono::steady_clock::time_point busySince_;
    bool lockWaitShown_ = false;
};

// Runs a prepared statement; throws ServerError "WHAT: CAUSE".
void Exec(QSqlQuery& query, const QString& what);
// Runs `sql` directly (no parameters); throws ServerError "SQL: CAUSE".
void ExecDirect(const QSqlDatabase& db, const QString& sql);
// The first column of the first row of a prepared count query.
long long CountOf(QSqlQuery& query, const QString& what);

} // namespace telvoro
