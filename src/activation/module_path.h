// The module path Windows PowerShell is handed: without PowerShell 7's own folders.
#pragma once

#include <string>
#include <string_view>

// The PSModulePath list without the folders PowerShell 7 puts in front of it
// (...\PowerShell\Modules and ...\PowerShell\<version>\Modules); every other
// entry stays as it stands, in its order.
[[nodiscard]] std::wstring WithoutPowerShell7ModulePaths(std::wstring_view modulePath);

// Mends this process's PSModulePath, which the PowerShell it starts inherits,
// as above; removes the variable if nothing is left, so that Windows
// PowerShell builds its own default. Where it cannot, the list stays as the
// caller had it.
void KeepPowerShell7ModulesFromWindowsPowerShell() noexcept;
