// Pure builders: what PowerShell is given, and the result its exit code means.
#pragma once

#include "activation/launch_result.h"

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

// The PowerShell script that has Start-Process activate the target app.
[[nodiscard]] std::wstring BuildActivationScript();

// "powershell.exe -NoProfile -NonInteractive -EncodedCommand " and the encoded script.
[[nodiscard]] std::wstring BuildPowerShellCommandLine(std::wstring_view encodedCommand);

// Where Windows PowerShell lives below the given system folder.
[[nodiscard]] std::wstring BuildPowerShellPath(std::wstring_view systemDirectory);

// The outcome of a PowerShell run that ended with the exit code, or whose
// exit code could not be read (nullopt).
[[nodiscard]] LaunchResult ResultOfPowerShellExit(std::optional<DWORD> exitCode);
