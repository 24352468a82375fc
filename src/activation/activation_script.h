// Pure builders for what PowerShell is given: the script and the command line.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The PowerShell script that has Start-Process activate the target app.
[[nodiscard]] std::wstring BuildActivationScript();

// "powershell.exe -NoProfile -NonInteractive -EncodedCommand " and the encoded script.
[[nodiscard]] std::wstring BuildPowerShellCommandLine(std::wstring_view encodedCommand);

// Where Windows PowerShell lives below the given system folder.
[[nodiscard]] std::wstring BuildPowerShellPath(std::wstring_view systemDirectory);

// The error text for a PowerShell run that ended with a non-zero code.
[[nodiscard]] std::wstring FormatExitCodeError(DWORD exitCode);
