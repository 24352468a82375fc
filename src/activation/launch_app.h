// Activating the target app through a hidden Windows PowerShell.
#pragma once

#include "activation/launch_result.h"

#include <string>

// Windows PowerShell's absolute path in the system folder; empty if the
// system folder cannot be read.
[[nodiscard]] std::wstring SystemPowerShellPath();

// Runs PowerShell hidden with the encoded activation script, waits for it
// without a time limit and reports its exit code.
[[nodiscard]] LaunchResult LaunchApp();
