#pragma once
// telvoro-smsd's command line and its config file (the same keys without
// "--"; the command line wins). The Kannel password comes from a file only.

#include "smsd/Daemon.h"

#include <string>
#include <vector>

namespace telvoro::smsd {

class UsageError : public Error {
public:
    using Error::Error;
};

// A config or password file that cannot be read, or a config file line that
// is wrong: the message names the file, line and key, or the option.
class ConfigError : public UsageError {
public:
    using UsageError::UsageError;
};

extern const char* const kUsage;

// Throws UsageError for a wrong command line, ConfigError for a wrong or
// unreadable config or password file.
Settings ParseOptions(const std::vector<std::string>& args);

} // namespace telvoro::smsd
