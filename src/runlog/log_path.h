// Where the run log lives: found once per process, then cached.
#pragma once

#include "runlog/log_place.h"

// Tries the common program files folder, then the common application data
// folder, then a path relative to the current directory. Not cached.
[[nodiscard]] LogPlace FindLogFilePath();

// The log file of this process, found on first use and kept from then on.
[[nodiscard]] LogPlace ResolveLogFilePath();
