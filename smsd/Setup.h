#pragma once
// What the queue server checks before it starts: a set-up mistake is said
// once, with its mend, and ends the program (exit status 1) instead of being
// retried forever as a fault would be.

#include "files/DataSource.h"

namespace telvoro::smsd {

// An embedded database must exist, and this user must be able to write it and
// its folder (SQLite writes its log beside it). Throws Error naming the file
// or folder, its owner and this user, and the command that mends it. A
// database server is not checked: out of reach is a fault to wait out.
void CheckEmbeddedDatabase(const DataSource& source);

} // namespace telvoro::smsd
