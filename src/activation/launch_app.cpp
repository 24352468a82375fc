// Running PowerShell and reading its verdict.
#include "activation/launch_app.h"

#include "activation/activation_script.h"
#include "activation/encode_command.h"
#include "common/unique_handle.h"

#include <windows.h>

namespace {

constexpr wchar_t kStartFailed[] = L"Failed to start PowerShell process.";

// PowerShell 7 puts its own module folders in front of PSModulePath (wherever
// it is installed: Program Files, WindowsApps, a .NET tool folder, a ZIP's)
// and takes them out only for a Windows PowerShell it starts itself. Handed
// on, they make Windows PowerShell autoload 7's Microsoft.PowerShell.Management
// for Start-Process, which it cannot load. Without the variable, Windows
// PowerShell builds its own default list, which holds Start-Process's module.
constexpr wchar_t kModulePathVariable[] = L"PSModulePath";

} // namespace

std::wstring SystemPowerShellPath() {
    std::wstring folder(MAX_PATH, L'\0');
    UINT length = ::GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
    if (length >= folder.size()) {
        // Too small: the call reported the size it needs, NUL included.
        folder.assign(length, L'\0');
        length = ::GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
    }
    if (length == 0 || length >= folder.size()) {
        return {};
    }
    folder.resize(length);
    return BuildPowerShellPath(folder);
}

LaunchResult LaunchApp() {
    const std::wstring encoded = EncodeCommandBase64(BuildActivationScript());
    // CreateProcessW may write into the command line, so it gets its own copy.
    std::wstring commandLine = BuildPowerShellCommandLine(encoded);

    // The absolute path keeps a powershell.exe in the current or the launcher's
    // folder from being run in place of the system's.
    const std::wstring application = SystemPowerShellPath();
    if (application.empty()) {
        return {false, kStartFailed};
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    // PowerShell inherits this process's environment as the caller left it,
    // but for the module list: the script needs no module of the caller's.
    static_cast<void>(::SetEnvironmentVariableW(kModulePathVariable, nullptr));
    UniqueProcessInformation child;
    if (!::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW, nullptr, nullptr, &startup, child.put())) {
        return {false, kStartFailed};
    }

    static_cast<void>(::WaitForSingleObject(child.process(), INFINITE));
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(child.process(), &exitCode)) {
        return ResultOfPowerShellExit(std::nullopt);
    }
    return ResultOfPowerShellExit(exitCode);
}
