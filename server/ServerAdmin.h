#pragma once
// Server-side upkeep for the admin tool and the tests: creating the tables and
// setting an account's credit. The client itself never calls these.

#include "server/SqlGateway.h"

#include <cstdint>
#include <string>

namespace telvoro {

// Runs the engine's schema statements on the gateway's open connection (idempotent).
void CreateServerTables(SqlGateway& gateway);

// Creates the account (GBK login) with `credit`, or sets the credit of every row of that login.
void SetAccountCredit(SqlGateway& gateway, const std::string& login, std::int32_t credit);

} // namespace telvoro
