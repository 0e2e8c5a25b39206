#pragma once
// Server-side upkeep for the admin tool and the tests, on an open connection:
// the tables, an account's credit, the queue listing. The client never calls these.

#include "server/Connection.h"

#include <QString>
#include <cstdint>
#include <string>
#include <vector>

namespace telvoro {

class ServerUpkeep {
public:
    explicit ServerUpkeep(Connection& connection) : connection_(connection) {}

    // Runs the engine's schema statements (idempotent). A `Users` table that
    // already holds one login twice is refused by name before anything runs.
    void CreateTables();
    // Creates the account (GBK login) with `credit`, or sets its credit: one
    // atomic statement, so two calls at once never make two rows.
    void SetCredit(const std::string& login, std::int32_t credit);
    // Every `SendTemp` row, in ID order, as the driver gives the texts.
    struct QueueRow {
        QString id, sendNo, state, list, memo;
    };
    std::vector<QueueRow> ListQueue();

private:
    Connection& connection_;
};

} // namespace telvoro
