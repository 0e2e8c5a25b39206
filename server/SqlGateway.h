#pragma once
// The one connection to the SMS server's database, on Qt SQL. It serves the
// credit query and the send job through the ServerGateway interface, on the
// embedded SQLite database, PostgreSQL or Microsoft SQL Server (ODBC/FreeTDS).
// The connection itself stays inside: every statement is one of its operations.

#include "core/ServerGateway.h"
#include "files/DataSource.h"
#include "server/Schema.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace telvoro {

// The fixed connection settings.
inline constexpr const char* kDbUser = "gsm";
inline constexpr const char* kDbPassword = "qelvix:-!";
inline constexpr const char* kDbCatalog = "Orvanta";
inline constexpr int kConnectTimeoutSeconds = 15;
inline constexpr int kQueryTimeoutSeconds = 300;
inline constexpr int kCommandTimeoutSeconds = 30;

// How long each call may take before the client breaks it off itself,
// whatever the server does: the engine's own time-out comes first, and
// `grace` later the watchdog cuts the connection.
struct TimeLimits {
    std::chrono::milliseconds connect{kConnectTimeoutSeconds * 1000};
    std::chrono::milliseconds query{kQueryTimeoutSeconds * 1000};     // credit query, append
    std::chrono::milliseconds command{kCommandTimeoutSeconds * 1000}; // deduction, begin, rollback
    std::chrono::milliseconds commit{kCommandTimeoutSeconds * 1000};
    std::chrono::milliseconds grace{2000};

    static TimeLimits Stated() { return {}; }
    // The stated limits; for the tests alone, TELVORO_TEST_TIME_LIMITS_MS=N
    // makes every limit N ms.
    static TimeLimits ForThisProcess();
};

class CallWatch;

// The ODBC connection string for a SQL Server data source (FreeTDS driver).
QString SqlServerConnectString(const DataSource& source);

class SqlGateway : public ServerGateway {
public:
    // `connectionName` names the Qt SQL connection; one gateway per name.
    explicit SqlGateway(QString connectionName = QStringLiteral("ADOConn"),
                        TimeLimits limits = TimeLimits::ForThisProcess());
    ~SqlGateway() override;
    SqlGateway(const SqlGateway&) = delete;
    SqlGateway& operator=(const SqlGateway&) = delete;

    // Closes the connection if open, then opens it on `source`. Throws
    // ServerError with the driver's text when it cannot be opened. A missing SQLite file
    // is such a failure; only the admin tool asks for it to be created.
    enum class Create { No, Yes };
    void Open(const DataSource& source, Create create = Create::No);
    void Close();
    // Open and not lost: a call that broke the connection, or ran out of
    // time, leaves it lost; the next credit query or transaction reopens it.
    bool IsOpen() const;
    bool Lost() const { return lost_; }
    Engine engine() const { return source_.engine; }
    const TimeLimits& limits() const { return limits_; }
    // The server process of this connection on PostgreSQL (also through
    // ODBC), for the tests' faults; nothing on other engines.
    std::optional<long long> BackendId() const { return backend_; }

    std::optional<std::string> QueryCredit(const std::string& login) override;
    void BeginTransaction() override;
    std::int64_t InsertSendRow(const std::string& sendNo, const std::string& memo,
                               const std::string& list) override;
    long long Deduct(const std::string& login, std::int32_t price) override;
    // Any failure throws CommitUncertain.
    void Commit() override;
    void Rollback() override;
    bool LookUpRow(std::int64_t id) override;

    // Upkeep for the admin tool and the tests (server/ServerAdmin.cpp); the
    // client never calls these.

    // Runs the engine's schema statements (idempotent).
    void RunSchema();
    // Sets `CurrSum` of every `Users` row of `login` (GBK), or adds the account
    // with that credit when it has no row.
    void SetCredit(const std::string& login, std::int32_t credit);
    // Every `SendTemp` row, in ID order, as the driver gives the texts.
    struct QueueRow {
        QString id, sendNo, state, list, memo;
    };
    std::vector<QueueRow> ListQueue();

private:
    QSqlDatabase connection() const;
    void OpenOnce(const DataSource& source, Create create);
    // Reopens a lost connection, trying again until the connect limit has passed.
    void EnsureOpen();
    // Inside a transaction a lost connection cannot be replaced.
    void RequireOpen(const QString& what) const;
    // Runs `body` under the watchdog with `limit`; a failure that broke the
    // connection, or the limit running out, marks the connection lost.
    void Watched(std::chrono::milliseconds limit, const QString& what,
                 const std::function<void()>& body);
    void BreakOff(); // on the watchdog's thread
    bool ConnectionDead() const;
    void MarkLost();

    QString name_;
    TimeLimits limits_;
    std::unique_ptr<CallWatch> watch_;
    DataSource source_;
    bool opened_ = false, inTransaction_ = false, lost_ = false;
    bool sqlServerDbms_ = false, postgresDbms_ = false;
    QStringList columns_; // SendTemp's columns, learnt once per connection
    // The driver's handles, for breaking a call off from the watchdog.
    void* pgConn_ = nullptr;
    void* sqlite_ = nullptr;
    void* odbcConn_ = nullptr;
    // This connection's TCP sockets, by descriptor and inode: a descriptor the
    // driver closed and the process reused is never cut.
    std::vector<std::pair<int, std::uint64_t>> sockets_;
    std::optional<long long> backend_;
    // The session that was lost while it may have been committing.
    std::optional<long long> lostBackend_;
};

} // namespace telvoro
