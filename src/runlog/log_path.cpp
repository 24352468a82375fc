// Resolution of the machine-wide run log's path.
#include "runlog/log_path.h"

#include "runlog/log_file.h"

#include <windows.h>
#include <shlobj.h>

#include <optional>

namespace {

constexpr wchar_t kFolderSuffix[] = L"\\Velmora\\Brightloom";
constexpr wchar_t kMakerFolderSuffix[] = L"\\Velmora";
constexpr wchar_t kFileNameSuffix[] = L"\\bright_loom_launcher_logs.txt";
constexpr wchar_t kLastResortPath[] = L".\\bright_loom_launcher_logs.txt";

[[nodiscard]] std::optional<std::wstring> ShellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) {
        return std::nullopt;
    }
    return std::wstring(path);
}

// The log file in the folder, if it can be opened there for append as every
// line will be. Opening it leaves the file behind, empty if it was new.
[[nodiscard]] std::optional<std::wstring> OpenableLogFile(const std::wstring& folder) {
    std::wstring file = folder + kFileNameSuffix;
    if (!OpenLogFileForAppend(file)) {
        return std::nullopt;
    }
    return file;
}

} // namespace

std::wstring FindLogFilePath() {
    if (const auto commonFiles = ShellFolder(CSIDL_PROGRAM_FILES_COMMON)) {
        // Only the last level is created here: this place is taken only when the
        // maker's folder was already set up, by an installer for example.
        const std::wstring folder = *commonFiles + kFolderSuffix;
        ::CreateDirectoryW(folder.c_str(), nullptr);
        if (auto file = OpenableLogFile(folder)) {
            return *file;
        }
    }
    if (const auto commonAppData = ShellFolder(CSIDL_COMMON_APPDATA)) {
        ::CreateDirectoryW((*commonAppData + kMakerFolderSuffix).c_str(), nullptr);
        const std::wstring folder = *commonAppData + kFolderSuffix;
        ::CreateDirectoryW(folder.c_str(), nullptr);
        // Taking a place that cannot be written would lose every line of the
        // run, so this one is probed too.
        if (auto file = OpenableLogFile(folder)) {
            return *file;
        }
    }
    return kLastResortPath;
}

std::wstring ResolveLogFilePath() {
    static std::wstring cachedPath;
    if (cachedPath.empty()) {
        cachedPath = FindLogFilePath();
    }
    return cachedPath;
}
