// The fixed script, command line and error texts of the activation.
#include "activation/activation_script.h"

#include <cwchar>

namespace {

constexpr std::wstring_view kAppShellPath =
    L"shell:AppsFolder\\VelmoraSoftworksLimited.VelmoraBrightloom_q4rk7vbn2xs9e!App";
constexpr std::wstring_view kActivationArguments = L"launch=headless-mode;source=test";

constexpr std::wstring_view kScriptHead = L"$ErrorActionPreference='Stop'; try { Start-Process '";
constexpr std::wstring_view kScriptBeforeArguments = L"' -ArgumentList '";
constexpr std::wstring_view kScriptTail =
    L"'; exit 0 } catch { Write-Error $_.Exception.Message; exit 1 }";

constexpr std::wstring_view kCommandPrefix =
    L"powershell.exe -NoProfile -NonInteractive -EncodedCommand ";
constexpr std::wstring_view kPowerShellBelowSystem = L"\\WindowsPowerShell\\v1.0\\powershell.exe";

constexpr std::wstring_view kExitCodeErrorHead = L"App launch failed with PowerShell exit code ";
constexpr wchar_t kExitCodeUnknown[] = L"Failed to read PowerShell exit code.";

} // namespace

std::wstring BuildActivationScript() {
    std::wstring script;
    script.append(kScriptHead)
        .append(kAppShellPath)
        .append(kScriptBeforeArguments)
        .append(kActivationArguments)
        .append(kScriptTail);
    return script;
}

std::wstring BuildPowerShellCommandLine(std::wstring_view encodedCommand) {
    return std::wstring(kCommandPrefix).append(encodedCommand);
}

std::wstring BuildPowerShellPath(std::wstring_view systemDirectory) {
    return std::wstring(systemDirectory).append(kPowerShellBelowSystem);
}

LaunchResult ResultOfPowerShellExit(std::optional<DWORD> exitCode) {
    // An unknown outcome is no success: the activation may not have happened.
    if (!exitCode) {
        return {false, kExitCodeUnknown};
    }
    if (*exitCode != 0) {
        return {false, std::wstring(kExitCodeErrorHead).append(std::to_wstring(*exitCode))};
    }
    return {true, {}};
}
