// The benchmark's floor: loads the launcher's system DLLs and only starts
// PowerShell the way the launcher does (hidden, same command line), waits for
// it and reads its exit code. Nothing is logged and nothing is probed.
#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include <string>

namespace {

// Same length and form as the launcher's command line.
constexpr wchar_t kCommandLine[] =
    L"powershell.exe -NoProfile -NonInteractive -EncodedCommand "
    L"JABFAHIAcgBvAHIAQQBjAHQAaQBvAG4AUAByAGUAZgBlAHIAZQBuAGMAZQA9ACcAUwB0AG8AcAAnADsAIAB0AHIAeQAg"
    L"AHsAIABTAHQAYQByAHQALQBQAHIAbwBjAGUAcwBzACAAJwBzAGgAZQBsAGwAOgBBAHAAcABzAEYAbwBsAGQAZQByAFwA"
    L"VgBlAGwAbQBvAHIAYQBTAG8AZgB0AHcAbwByAGsAcwBMAGkAbQBpAHQAZQBkAC4AVgBlAGwAbQBvAHIAYQBCAHIAaQBn"
    L"AGgAdABsAG8AbwBtAF8AcQA0AHIAawA3AHYAYgBuADIAeABzADkAZQAhAEEAcABwACcAIAAtAEEAcgBnAHUAbQBlAG4A"
    L"dABMAGkAcwB0ACAAJwBsAGEAdQBuAGMAaAA9AGgAZQBhAGQAbABlAHMAcwAtAG0AbwBkAGUAOwBzAG8AdQByAGMAZQA9"
    L"AHQAZQBzAHQAJwA7ACAAZQB4AGkAdAAgADAAIAB9ACAAYwBhAHQAYwBoACAAewAgAFcAcgBpAHQAZQAtAEUAcgByAG8A"
    L"cgAgACQAXwAuAEUAeABjAGUAcAB0AGkAbwBuAC4ATQBlAHMAcwBhAGcAZQA7ACAAZQB4AGkAdAAgADEAIAB9AA==";

// Keeps SHELL32 and ADVAPI32 among the imports, as they are the launcher's.
volatile bool never = false;

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (never) {
        wchar_t path[MAX_PATH];
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path);
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"", SDDL_REVISION_1, &descriptor,
                                                               nullptr);
    }
    // The launcher loads crypt32 at run time for its encoding; so does the floor.
    const HMODULE crypt32 = ::LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring application =
        std::wstring(system) + L"\\WindowsPowerShell\\v1.0\\powershell.exe";
    std::wstring commandLine = kCommandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION child{};
    if (!::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW, nullptr, nullptr, &startup, &child)) {
        return 1;
    }
    ::WaitForSingleObject(child.hProcess, INFINITE);
    DWORD exitCode = 1;
    ::GetExitCodeProcess(child.hProcess, &exitCode);
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);
    ::FreeLibrary(crypt32);
    return exitCode == 0 ? 0 : 1;
}
