#pragma once
// Server-side upkeep for the admin tool and the tests, on an open connection:
// the tables and an account's credit. The client never calls these.

#include "db/Connection.h"
#include "db/Schema.h"

#include <cstdint>
#include <string>

namespace telvoro {

class ServerUpkeep {
public:
    explicit ServerUpkeep(Connection& connection) : connection_(connection) {}

    // Creates or upgrades the tables (UpgradeSchema).
    SchemaChange CreateTables() { return UpgradeSchema(connection_); }
    // Creates the account (GBK login) with `credit`, or sets its credit: one
    // atomic statement, so two calls at once never make two rows.
    void SetCredit(const std::string& login, std::int32_t credit);

private:
    Connection& connection_;
};

} // namespace telvoro
