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

extern const char* const kUsage;

// Throws UsageError for a wrong command line or config file, Error for a
// password file that cannot be read.
Settings ParseOptions(const std::vector<std::string>& args);

} // namespace telvoro::smsd
