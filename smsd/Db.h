#pragma once
// The watched database connection the queue server runs on.
#include "smsd/ConnectionShim.h"
