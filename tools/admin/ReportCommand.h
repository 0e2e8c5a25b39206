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

// status [--stuck SECONDS]: each queue server's last claim and report and
// Kannel's reach, the numbers under way by status, rows stuck longer.
void RunStatus(const DataSource& source, const std::vector<std::string>& args,
               const TimeLimits& limits);

} // namespace telvoro::admin
