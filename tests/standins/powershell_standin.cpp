// Test stand-in for Windows PowerShell: checks and records how it was started,
// acts out Start-Process on a shell:AppsFolder path, and exits with a code the
// test may choose.
//
// LB_PS_RECORD     file to write the record to (key=value lines, UTF-8)
// LB_PS_EXIT_CODE  exit with this code (decimal, 0..4294967295) after recording
// LB_PS_SLEEP_MS   wait this long before exiting
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr DWORD kBadCommandLine = 64;
constexpr DWORD kActivationFailed = 1;
constexpr std::wstring_view kAppsFolder = L"shell:AppsFolder\\";

std::optional<std::wstring> Environment(const wchar_t* name) {
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return std::nullopt;
    }
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

int Sextet(wchar_t c) {
    if (c >= L'A' && c <= L'Z')
        return c - L'A';
    if (c >= L'a' && c <= L'z')
        return c - L'a' + 26;
    if (c >= L'0' && c <= L'9')
        return c - L'0' + 52;
    if (c == L'+')
        return 62;
    if (c == L'/')
        return 63;
    return -1;
}

// Strict RFC 4648 Base64 of UTF-16LE text: whole quads, padding only at the
// end, zero spare bits, an even byte count.
std::optional<std::wstring> DecodeStrict(const std::wstring& text) {
    if (text.empty() || text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int pad = 0;
        unsigned value = 0;
        for (size_t j = 0; j < 4; ++j) {
            const wchar_t c = text[i + j];
            if (c == L'=' && last && j >= 2) {
                ++pad;
                value <<= 6;
                continue;
            }
            const int sextet = Sextet(c);
            if (sextet < 0 || pad > 0) {
                return std::nullopt;
            }
            value = (value << 6) | static_cast<unsigned>(sextet);
        }
        if ((pad == 1 && (value & 0xFF)) || (pad == 2 && (value & 0xFFFF))) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<unsigned char>(value >> 16));
        if (pad < 2)
            bytes.push_back(static_cast<unsigned char>(value >> 8));
        if (pad < 1)
            bytes.push_back(static_cast<unsigned char>(value));
    }
    if (bytes.size() % 2 != 0) {
        return std::nullopt;
    }
    std::wstring decoded;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        decoded += static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    }
    return decoded;
}

std::string Utf8(const std::wstring& text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                          nullptr, nullptr);
    return out;
}

void WriteRecord(const std::wstring& path, const std::wstring& record) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::string bytes = Utf8(record);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
}

// The text between "<head>'" and the next "'" in the script.
std::optional<std::wstring> Quoted(const std::wstring& script, const std::wstring& head) {
    const size_t at = script.find(head + L"'");
    if (at == std::wstring::npos) {
        return std::nullopt;
    }
    const size_t begin = at + head.size() + 1;
    const size_t end = script.find(L'\'', begin);
    if (end == std::wstring::npos) {
        return std::nullopt;
    }
    return script.substr(begin, end - begin);
}

// Acts out Start-Process on shell:AppsFolder\<family>!<app>: starts the first
// program of an installed package folder <name>_*__<publisher> under
// C:\Program Files\WindowsApps, with the argument list, without waiting.
bool Activate(const std::wstring& script) {
    const auto target = Quoted(script, L"Start-Process ");
    const auto arguments = Quoted(script, L"-ArgumentList ");
    if (!target || !arguments || target->rfind(kAppsFolder, 0) != 0) {
        return false;
    }
    const std::wstring appUserModelId = target->substr(kAppsFolder.size());
    const size_t bang = appUserModelId.find(L'!');
    const std::wstring family = appUserModelId.substr(0, bang);
    const size_t underscore = family.rfind(L'_');
    if (bang == std::wstring::npos || underscore == std::wstring::npos) {
        return false;
    }
    wchar_t programFiles[MAX_PATH] = {};
    ::ExpandEnvironmentStringsW(L"%ProgramW6432%", programFiles, MAX_PATH);
    const std::wstring apps = std::wstring(programFiles) + L"\\WindowsApps\\";
    const std::wstring pattern =
        apps + family.substr(0, underscore) + L"_*__" + family.substr(underscore + 1);

    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    ::FindClose(search);
    const std::wstring package = apps + found.cFileName + L"\\";
    search = ::FindFirstFileW((package + L"*.exe").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    ::FindClose(search);
    const std::wstring program = package + found.cFileName;
    std::wstring commandLine = L"\"" + program + L"\" " + *arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION app{};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &app)) {
        return false;
    }
    ::CloseHandle(app.hThread);
    ::CloseHandle(app.hProcess);
    return true;
}

} // namespace

int wmain() {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    std::optional<std::wstring> script;
    if (argv != nullptr && argc == 5 && std::wcscmp(argv[1], L"-NoProfile") == 0 &&
        std::wcscmp(argv[2], L"-NonInteractive") == 0 &&
        std::wcscmp(argv[3], L"-EncodedCommand") == 0) {
        script = DecodeStrict(argv[4]);
    }
    ::LocalFree(argv);

    wchar_t image[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, image, MAX_PATH);
    STARTUPINFOW startup{};
    ::GetStartupInfoW(&startup);

    if (const auto recordPath = Environment(L"LB_PS_RECORD")) {
        std::wstring record;
        record += L"image=" + std::wstring(image) + L"\n";
        record += L"command_line=" + std::wstring(::GetCommandLineW()) + L"\n";
        record += L"decoded=" + std::wstring(script ? L"yes" : L"no") + L"\n";
        record += L"script=" + script.value_or(L"") + L"\n";
        record += L"startup_flags=" + std::to_wstring(startup.dwFlags) + L"\n";
        record += L"show_window=" + std::to_wstring(startup.wShowWindow) + L"\n";
        record += L"console_window=" + std::to_wstring(::GetConsoleWindow() != nullptr) + L"\n";
        record += L"psmodulepath=" + Environment(L"PSModulePath").value_or(L"(unset)") + L"\n";
        record += L"lb_other=" + Environment(L"LB_OTHER").value_or(L"(unset)") + L"\n";
        // A pipe here is what can keep Windows PowerShell waiting for ever.
        record += L"stdin_type=" +
                  std::to_wstring(::GetFileType(::GetStdHandle(STD_INPUT_HANDLE))) + L"\n";
        WriteRecord(*recordPath, record);
    }
    if (const auto sleepMs = Environment(L"LB_PS_SLEEP_MS")) {
        ::Sleep(std::wcstoul(sleepMs->c_str(), nullptr, 10));
    }
    if (!script) {
        std::fputs("The command line could not be parsed or decoded.\n", stderr);
        ::ExitProcess(kBadCommandLine);
    }
    if (const auto exitCode = Environment(L"LB_PS_EXIT_CODE")) {
        ::ExitProcess(std::wcstoul(exitCode->c_str(), nullptr, 10));
    }
    if (!Activate(*script)) {
        std::fputs("Start-Process : This command cannot be run completely because the system "
                   "cannot find all the information required.\n",
                   stderr);
        ::ExitProcess(kActivationFailed);
    }
    ::ExitProcess(0);
}
