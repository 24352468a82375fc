// Resolution of the machine-wide run log's path.
#include "runlog/log_path.h"

#include "runlog/final_path.h"

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

// Whether the log can be opened at the place for append as every line will
// be. Opening it leaves the file behind, empty if it was new.
[[nodiscard]] bool IsOpenable(const LogPlace& place) {
    return OpenLogFileForAppend(place).valid();
}

} // namespace

LogPlace FindLogFilePath() {
    if (const auto commonFiles = ShellFolder(CSIDL_PROGRAM_FILES_COMMON)) {
        // Only the last level is created here: this place is taken only when the
        // maker's folder was already set up, by an installer for example. Only
        // administrators can write there, so links there are theirs and followed.
        const std::wstring folder = *commonFiles + kFolderSuffix;
        ::CreateDirectoryW(folder.c_str(), nullptr);
        LogPlace place{folder + kFileNameSuffix, {}};
        if (IsOpenable(place)) {
            return place;
        }
    }
    if (const auto commonAppData = ShellFolder(CSIDL_COMMON_APPDATA)) {
        ::CreateDirectoryW((*commonAppData + kMakerFolderSuffix).c_str(), nullptr);
        const std::wstring folder = *commonAppData + kFolderSuffix;
        ::CreateDirectoryW(folder.c_str(), nullptr);
        // Any user may make these folders, or links in their place, before the
        // first run: the log is used only where it really lies below the
        // folder, wherever an administrator has put the folder itself. Taking a
        // place that cannot be written would lose every line of the run, so
        // this one is probed too.
        if (const auto finalAppData = FinalFolderPath(*commonAppData)) {
            LogPlace place{folder + kFileNameSuffix,
                           *finalAppData + kFolderSuffix + kFileNameSuffix};
            if (IsOpenable(place)) {
                return place;
            }
        }
    }
    // The current directory is the caller's choice, but a link at the file's
    // name there may be some other user's, and is not followed either.
    if (const auto current = FinalFolderPath(L".")) {
        return {kLastResortPath, *current + kFileNameSuffix};
    }
    return {kLastResortPath, {}};
}

LogPlace ResolveLogFilePath() {
    static LogPlace cachedPlace;
    if (cachedPlace.path.empty()) {
        cachedPlace = FindLogFilePath();
    }
    return cachedPlace;
}
