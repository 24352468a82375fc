// The running-instance probe over a Tool Help process snapshot.
#include "launcher/instance_probe.h"

#include "common/unique_handle.h"

#include <windows.h>
#include <tlhelp32.h>

namespace {

// Packaged apps run from a folder whose name ends with the publisher id.
constexpr std::wstring_view kPublisherId = L"q4rk7vbn2xs9e";

[[nodiscard]] bool ProcessNamesTargetApp(DWORD processId) noexcept {
    const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) {
        return false;
    }
    wchar_t imagePath[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (!::QueryFullProcessImageNameW(process.get(), 0, imagePath, &size)) {
        return false;
    }
    return ImagePathNamesTargetApp(std::wstring_view(imagePath, size));
}

} // namespace

bool ImagePathNamesTargetApp(std::wstring_view imagePath) noexcept {
    return imagePath.find(kPublisherId) != std::wstring_view::npos;
}

bool IsTargetAppRunning() noexcept {
    const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return false;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (ProcessNamesTargetApp(entry.th32ProcessID)) {
            return true;
        }
    }
    return false;
}
