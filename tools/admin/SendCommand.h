#pragma once
// telvoro-admin's `send`: runs the send job on the numbers and message files
// given, prints what the job shows and how many numbers it queued, and can
// write the numbers left for a retry.

#include "db/Connection.h"
#include "files/DataSource.h"

#include <string>
#include <vector>

namespace telvoro::admin {

// `args` are those after "send"; every call to the database keeps `limits`. Returns the exit code;
// a wrong command line throws UsageError, a failure of the job an exception after the report.
int RunSend(const DataSource& source, const std::vector<std::string>& args,
            const TimeLimits& limits);

} // namespace telvoro::admin
