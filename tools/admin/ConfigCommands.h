#pragma once
// telvoro-admin's settings-file commands: `config` writes GSMConfig.ini for a
// deployment (the only place that enciphers), `read-config` shows what the
// client would read from one.

#include <string>
#include <vector>

namespace telvoro::admin {

// argv-style args after the subcommand name; returns the process exit code; prints errors as one
// line on stderr.
int RunConfig(const std::vector<std::string>& args);     // config LOGIN [--out PATH] [--force]
int RunReadConfig(const std::vector<std::string>& args); // read-config PATH

} // namespace telvoro::admin
