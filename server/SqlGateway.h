#pragma once
// The client's gateway to the SMS server's database: the credit query and the
// send job's statements (append, deduction, commit, lookup of an uncertain
// commit) through the ServerGateway interface, on one watched Connection.

#include "core/ServerGateway.h"
#include "db/Connection.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>

namespace telvoro {

class SqlGateway : public ServerGateway {
public:
    // `connectionName` names the Qt SQL connection; one gateway per name.
    explicit SqlGateway(QString connectionName = QStringLiteral("ADOConn"),
                        TimeLimits limits = TimeLimits::Stated());

    // Closes the connection if open, then opens it on `source` (see Connection::Open).
    void Open(const DataSource& source, Create create = Create::No);
    // Open and not lost: a call that broke the connection, or ran out of
    // time, leaves it lost; the next credit query or transaction reopens it.
    bool IsOpen() const { return connection_.IsOpen(); }
    bool Lost() const { return connection_.Lost(); }
    // The connection itself, for the upkeep and the tests' faults.
    Connection& connection() { return connection_; }

    std::optional<std::string> QueryCredit(const std::string& login) override;
    void BeginTransaction() override;
    std::int64_t InsertSendRow(const std::string& sendNo, const std::string& memo,
                               const std::string& list) override;
    long long Deduct(const std::string& login, std::int32_t price) override;
    // Any failure throws CommitUncertain.
    void Commit() override;
    void Rollback() override;
    bool LookUpRow(std::int64_t id) override;

private:
    Connection connection_;
    QStringList columns_; // SendTemp's columns, learnt once per open
};

} // namespace telvoro
