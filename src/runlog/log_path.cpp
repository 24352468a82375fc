// Resolution of the machine-wide run log's path.
#include "runlog/log_path.h"

#include "runlog/final_path.h"
#include "runlog/nt_open.h"

#include <windows.h>
#include <shlobj.h>

#include <optional>

namespace {

constexpr wchar_t kFolderSuffix[] = L"\\Velmora\\Brightloom";
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
[[nodiscard]] bool IsOpenable(const LogPlace& place, bool makeFolders = false) {
    return OpenLogFileForAppend(place, DeadlineForOneLine(), makeFolders).valid();
}

} // namespace

LogPlace FindLogFilePath() {
    if (const auto commonFiles = ShellFolder(CSIDL_PROGRAM_FILES_COMMON)) {
        // Only the last level is created here: this place is taken only when the
        // maker's folder was already set up, by an installer for example. Only
        // administrators can write there, so links there are theirs and followed.
        const std::wstring folder = *commonFiles + kFolderSuffix;
        ::CreateDirectoryW(folder.c_str(), nullptr);
        LogPlace place{folder + kFileNameSuffix, {}, {}};
        if (IsOpenable(place)) {
            return place;
        }
    }
    if (const auto commonAppData = ShellFolder(CSIDL_COMMON_APPDATA)) {
        // Any user may make the folders below it, or links in their place,
        // before or during a run: they are made and used only through handles
        // from the folder itself, which only administrators control. Taking a
        // place that cannot be written would lose every line of the run, so
        // this one is probed too.
        LogPlace place{*commonAppData + kFolderSuffix + kFileNameSuffix, *commonAppData,
                       FinalFolderPath(*commonAppData).value_or(std::wstring())};
        if (IsOpenable(place, true)) {
            return place;
        }
    }
    // The current directory is the caller's choice, but a link at the file's
    // name there may be some other user's, and is not followed either.
    return {kLastResortPath, L".", FinalFolderPath(L".").value_or(std::wstring())};
}

LogPlace ResolveLogFilePath() {
    static LogPlace cachedPlace;
    if (cachedPlace.path.empty()) {
        cachedPlace = FindLogFilePath();
    }
    return cachedPlace;
}
