#pragma once
// telvoro-admin's commands for replies and refusals: an account's own sender
// number, the inbound messages, the opt-out lists.

#include "db/Connection.h"
#include "files/DataSource.h"

#include <string>
#include <vector>

namespace telvoro::admin {

// account LOGIN --sender NUMBER (empty NUMBER: none); the credit is set apart.
void SetSender(const DataSource& source, const std::string& login, const std::string& sender,
               const TimeLimits& limits);
// inbox [--account LOGIN] [--since TIME] [--csv]
void RunInbox(const DataSource& source, const std::vector<std::string>& args,
              const TimeLimits& limits);
// optout add|remove|list|import FILE|export (--account LOGIN | --all-accounts) [NUMBER ...]
void RunOptOut(const DataSource& source, const std::vector<std::string>& args,
               const TimeLimits& limits);

} // namespace telvoro::admin
