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

} // namespace telvoro::admin
