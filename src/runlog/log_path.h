// Where the run log lives: found once per process, then cached.
#pragma once

#include <string>

// Tries the common program files folder, then the common application data
// folder, then a path relative to the current directory. Not cached.
[[nodiscard]] std::wstring FindLogFilePath();

// The log file path of this process, found on first use and kept from then on.
[[nodiscard]] std::wstring ResolveLogFilePath();
