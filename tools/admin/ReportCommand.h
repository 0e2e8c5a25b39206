#pragma once
// telvoro-admin report: what became of the queued numbers.

#include "db/Connection.h"
#include "files/DataSource.h"

#include <string>
#include <vector>

namespace telvoro::admin {

// report [--account LOGIN] [--row ID] [--csv]
void RunReport(const DataSource& source, const std::vector<std::string>& args,
               const TimeLimits& limits);

} // namespace telvoro::admin
