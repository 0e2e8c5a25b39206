#pragma once
// The one connection to the SMS server's database, on Qt SQL. It serves the
// credit query and the send job through the ServerGateway interface, on the
// embedded SQLite database, PostgreSQL or Microsoft SQL Server (ODBC/FreeTDS).
// The connection itself stays inside: every statement is one of its operations.

#include "core/SendJob.h"
#include "files/DataSource.h"
#include "server/Schema.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace telvoro {

// The fixed connection settings.
inline constexpr const char* kDbUser = "gsm";
inline constexpr const char* kDbPassword = "qelvix:-!";
inline constexpr const char* kDbCatalog = "Orvanta";
inline constexpr int kConnectTimeoutSeconds = 15;
inline constexpr int kQueryTimeoutSeconds = 300;
inline constexpr int kCommandTimeoutSeconds = 30;

// The ODBC connection string for a SQL Server data source (FreeTDS driver).
QString SqlServerConnectString(const DataSource& source);

class SqlGateway : public ServerGateway {
public:
    // `connectionName` names the Qt SQL connection; one gateway per name.
    explicit SqlGateway(QString connectionName = QStringLiteral("ADOConn"));
    ~SqlGateway() override;
    SqlGateway(const SqlGateway&) = delete;
    SqlGateway& operator=(const SqlGateway&) = delete;

    // Closes the connection if open, then opens it on `source`. Throws Error
    // with the driver's text when it cannot be opened. A missing SQLite file
    // is such a failure; only the admin tool asks for it to be created.
    enum class Create { No, Yes };
    void Open(const DataSource& source, Create create = Create::No);
    void Close();
    bool IsOpen() const;
    Engine engine() const { return source_.engine; }

    std::optional<std::string> QueryCredit(const std::string& login) override;
    void BeginTransaction() override;
    void InsertSendRow(const std::string& sendNo, const std::string& memo,
                       const std::string& list) override;
    long long Deduct(const std::string& login, std::int32_t price) override;
    void Commit() override;
    void Rollback() override;

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

    QString name_;
    DataSource source_;
    bool inTransaction_ = false;
    QStringList columns_; // SendTemp's columns, learnt once per connection
};

} // namespace telvoro
