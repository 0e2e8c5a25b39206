#pragma once
// The server side's tables, for the admin tool to create; the client never does.

#include "files/DataSource.h"

namespace telvoro {

// The CREATE statements for `engine`, separated by ";" at line ends; idempotent.
const char* SchemaSql(Engine engine);

} // namespace telvoro
