#pragma once
// The watched database connection the queue server runs on, the same as the
// client's.
#include "core/Error.h"
#include "server/Connection.h"
