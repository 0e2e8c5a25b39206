#pragma once
// telvoro-admin's settings-file commands: `config` writes GSMConfig.ini for a
// deployment, `read-config` shows what the client would read from one.

#include <string>
#include <vector>

namespace telvoro::admin {

// argv-style args after the subcommand name. A wrong command line throws
// UsageError, a failure CommandError (tools/admin/Errors.h).
void RunConfig(const std::vector<std::string>& args);     // config LOGIN [--out PATH] [--force]
void RunReadConfig(const std::vector<std::string>& args); // read-config PATH

} // namespace telvoro::admin
