// Helpers for tests that drive the real programs and folders of the Wine prefix.
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <regex>

namespace test {

namespace {

constexpr wchar_t kLogName[] = L"\\bright_loom_launcher_logs.txt";

std::optional<std::wstring> Environment(const std::wstring& name) {
    const DWORD size = ::GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (size == 0) {
        return std::nullopt;
    }
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(name.c_str(), value.data(), size));
    return value;
}

} // namespace

std::wstring BinFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.rfind(L'\\'));
}

std::wstring BinProgram(std::wstring_view fileName) {
    return BinFolder() + L"\\" + std::wstring(fileName);
}

std::wstring ShellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    EXPECT_TRUE(SUCCEEDED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)));
    return path;
}

std::wstring CommonFilesMakerFolder() {
    return ShellFolder(CSIDL_PROGRAM_FILES_COMMON) + L"\\Velmora";
}
std::wstring CommonFilesLogPath() {
    return CommonFilesMakerFolder() + L"\\Brightloom" + kLogName;
}
std::wstring ProgramDataMakerFolder() {
    return ShellFolder(CSIDL_COMMON_APPDATA) + L"\\Velmora";
}
std::wstring ProgramDataLogPath() {
    return ProgramDataMakerFolder() + L"\\Brightloom" + kLogName;
}

std::wstring SystemPowerShell() {
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system) + L"\\WindowsPowerShell\\v1.0\\powershell.exe";
}

std::wstring InstalledAppFolder() {
    return ShellFolder(CSIDL_PROGRAM_FILES) +
           L"\\WindowsApps\\VelmoraSoftworksLimited.VelmoraBrightloom_1.0.0.0_x64__q4rk7vbn2xs9e";
}

void InstallApp() {
    ::CreateDirectoryW((ShellFolder(CSIDL_PROGRAM_FILES) + L"\\WindowsApps").c_str(), nullptr);
    ASSERT_TRUE(::CreateDirectoryW(InstalledAppFolder().c_str(), nullptr));
    CopyInto(BinProgram(L"brightloom_standin.exe"), InstalledAppFolder() + L"\\Brightloom.exe");
}

void RemoveInstalledApp() {
    EndProcessesUnder(InstalledAppFolder());
    RemoveTree(InstalledAppFolder());
}

void ResetLogFolders() {
    RemoveTree(CommonFilesMakerFolder());
    RemoveTree(ProgramDataMakerFolder());
    ASSERT_FALSE(Exists(CommonFilesMakerFolder()));
    ASSERT_FALSE(Exists(ProgramDataMakerFolder()));
}

std::wstring MakeScratchFolder(std::wstring_view name) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"lb-tests\\";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    folder += name;
    RemoveTree(folder);
    // A folder that was some exited child's current directory may linger a
    // moment under Wine; its contents are gone, which is what matters.
    const bool made = ::CreateDirectoryW(folder.c_str(), nullptr) ||
                      ::GetFileAttributesW(folder.c_str()) == FILE_ATTRIBUTE_DIRECTORY;
    EXPECT_TRUE(made) << Narrow(folder) << ": " << ::GetLastError();
    return folder;
}

void RemoveTree(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") {
                RemoveTree(path + L"\\" + name);
            }
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(path.c_str());
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void CopyInto(const std::wstring& from, const std::wstring& to) {
    ASSERT_TRUE(::CopyFileW(from.c_str(), to.c_str(), FALSE))
        << Narrow(from) << " -> " << Narrow(to) << ": " << ::GetLastError();
}

std::optional<std::string> ReadBytes(const std::wstring& path) {
    const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    return bytes;
}

std::vector<std::string> SplitLines(std::string_view bytes) {
    std::vector<std::string> lines;
    while (!bytes.empty()) {
        const size_t end = bytes.find("\r\n");
        if (end == std::string_view::npos) {
            lines.emplace_back(bytes);
            break;
        }
        lines.emplace_back(bytes.substr(0, end));
        bytes.remove_prefix(end + 2);
    }
    return lines;
}

std::optional<std::string> MessageOf(std::string_view line) {
    static const std::regex form(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )");
    const std::string text(line);
    std::smatch head;
    if (!std::regex_search(text, head, form)) {
        return std::nullopt;
    }
    return text.substr(static_cast<size_t>(head.length(0)));
}

std::vector<std::string> MessagesOf(const std::wstring& logPath) {
    std::vector<std::string> messages;
    for (const std::string& line : SplitLines(ReadBytes(logPath).value_or(""))) {
        const auto message = MessageOf(line);
        messages.push_back(message ? *message : "<malformed> " + line);
    }
    return messages;
}

const std::vector<std::string>& SuccessfulRun() {
    static const std::vector<std::string> lines = {
        "=== LaunchBrightloom started ===",
        "App is NOT running before LaunchApp",
        "Calling LaunchApp...",
        "LaunchApp succeeded",
        "=== LaunchBrightloom finished with exit code 0 ===",
    };
    return lines;
}

std::vector<std::string> FailedRun(const std::string& error) {
    return {
        "=== LaunchBrightloom started ===",
        "App is NOT running before LaunchApp",
        "Calling LaunchApp...",
        "LaunchApp failed: " + error,
        "=== LaunchBrightloom finished with exit code 1 ===",
    };
}

std::string LocalTimeNow() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    char text[32] = {};
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond);
    return text;
}

std::optional<std::string> RecordValue(const std::wstring& recordPath, std::string_view key) {
    const std::string record = ReadBytes(recordPath).value_or("");
    const std::string head = std::string(key) + "=";
    size_t at = 0;
    while (at < record.size()) {
        size_t end = record.find('\n', at);
        if (end == std::string::npos) {
            end = record.size();
        }
        if (record.compare(at, head.size(), head) == 0) {
            return record.substr(at + head.size(), end - at - head.size());
        }
        at = end + 1;
    }
    return std::nullopt;
}

std::string Narrow(std::wstring_view text) {
    std::string out;
    for (const wchar_t unit : text) {
        out += static_cast<unsigned>(unit) < 0x80 ? static_cast<char>(unit) : '?';
    }
    return out;
}

UniqueProcessInformation Start(const std::wstring& program, const std::wstring& arguments,
                               const std::wstring& directory, bool inheritHandles) {
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    UniqueProcessInformation child;
    // Under load, Wine now and then refuses a start with ERROR_INTERNAL_ERROR
    // (seen once in some 500 starts of 100 programs at once); a second try works.
    constexpr int kTries = 3;
    BOOL started = FALSE;
    for (int i = 0; i < kTries && !started; ++i) {
        std::wstring writable = commandLine;
        started = ::CreateProcessW(
            program.c_str(), writable.data(), nullptr, nullptr, inheritHandles, 0, nullptr,
            directory.empty() ? nullptr : directory.c_str(), &startup, child.put());
        if (!started && ::GetLastError() != ERROR_INTERNAL_ERROR) {
            break;
        }
    }
    EXPECT_TRUE(started) << Narrow(program) << ": " << ::GetLastError();
    return child;
}

DWORD WaitForExit(const UniqueProcessInformation& process) {
    if (process.process() == nullptr) {
        return static_cast<DWORD>(-1);
    }
    EXPECT_EQ(::WaitForSingleObject(process.process(), INFINITE), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    EXPECT_TRUE(::GetExitCodeProcess(process.process(), &exitCode));
    return exitCode;
}

DWORD RunToEnd(const std::wstring& program, const std::wstring& arguments,
               const std::wstring& directory) {
    return WaitForExit(Start(program, arguments, directory));
}

void WaitForFile(const std::wstring& path) {
    // No time limit of its own: the test's limit in CTest ends a hang and names it.
    while (!Exists(path)) {
        ::Sleep(10);
    }
}

void EndProcessesUnder(const std::wstring& folder) {
    const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    ASSERT_TRUE(snapshot);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        const UniqueHandle process(
            ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE,
                          FALSE, entry.th32ProcessID));
        wchar_t image[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (entry.th32ProcessID != ::GetCurrentProcessId() && process &&
            ::QueryFullProcessImageNameW(process.get(), 0, image, &size) &&
            std::wstring_view(image, size).rfind(folder + L"\\", 0) == 0) {
            ::TerminateProcess(process.get(), 0);
            ::WaitForSingleObject(process.get(), INFINITE);
        }
    }
}

Pipe PipeInheritableAt(bool readEnd) {
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    EXPECT_TRUE(::CreatePipe(&reader, &writer, &inheritable, 0));
    Pipe pipe{UniqueHandle(reader), UniqueHandle(writer)};
    ::SetHandleInformation((readEnd ? pipe.writer : pipe.reader).get(), HANDLE_FLAG_INHERIT, 0);
    return pipe;
}

UniqueHandle HoldNewFile(const std::wstring& path) {
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(file) << Narrow(path) << ": " << ::GetLastError();
    return file;
}

RunningApps::RunningApps(std::wstring_view folderName, int count)
    : folder_(MakeScratchFolder(folderName)) {
    const std::wstring program = folder_ + L"\\Brightloom.exe";
    CopyInto(BinProgram(L"brightloom_standin.exe"), program);
    std::vector<std::wstring> readyFiles;
    for (int i = 0; i < count; ++i) {
        readyFiles.push_back(folder_ + L"\\ready-" + std::to_wstring(i));
        const ScopedEnvironment ready(L"LB_APP_READY_FILE", readyFiles.back());
        processes_.push_back(Start(program, {}));
        if (processes_.back().process() == nullptr) {
            readyFiles.pop_back(); // a failed start, reported already
        }
    }
    // Ended only once running: under Wine, a kill during start-up can leave a helper behind.
    for (const std::wstring& ready : readyFiles) {
        WaitForFile(ready);
    }
}

RunningApps::~RunningApps() {
    EndProcessesUnder(folder_);
    processes_.clear();
    RemoveTree(folder_);
}

ScopedEnvironment::ScopedEnvironment(std::wstring name, const std::wstring& value)
    : name_(std::move(name)), previous_(Environment(name_)) {
    ::SetEnvironmentVariableW(name_.c_str(), value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
    ::SetEnvironmentVariableW(name_.c_str(), previous_ ? previous_->c_str() : nullptr);
}

} // namespace test
