#pragma once
// telvoro-admin report: what became of the queued numbers.

#include "db/Connection.h"
#include "files/DataSource.h"

#include <QStringList>

#include <string>
#include <vector>

namespace telvoro::admin {

// One line of a table: tab-separated, or CSV with quotes where needed.
void Line(const QStringList& cells, bool csv);

// report [--account LOGIN] [--row ID] [--csv]
void RunReport(const DataSource& source, const std::vector<std::string>& args,
               const TimeLimits& limits);

// status [--stuck SECONDS]: each queue server's last claim and report and
// Kannel's reach, the numbers under way by status, rows stuck longer.
void RunStatus(const DataSource& source, const std::vector<std::string>& args,
               const TimeLimits& limits);

} // namespace telvoro::admin
