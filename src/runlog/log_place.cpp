// Opening the run log, through folder handles where its folders are not only administrators'.
#include "runlog/log_place.h"

#include "runlog/folder_walk.h"
#include "runlog/log_security.h"

#include <string_view>
#include <vector>

namespace {

// Should a named pipe stand where the log is looked for, its server learns
// nothing of who runs the launcher, and cannot act as them.
constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS;

// Each folder is checked before anything is opened or made inside it, and
// what follows is looked up in the folder held, whatever is done meanwhile
// to the path that named it.
[[nodiscard]] UniqueHandle OpenByWalk(const LogPlace& place, PSECURITY_DESCRIPTOR security,
                                      bool makeFolders) {
    std::wstring_view below = place.path;
    below.remove_prefix(place.walkFrom.size() + 1);
    std::wstring finalPath = place.walkFromFinalPath;
    // Every folder on the way stays held, so none of them can be moved meanwhile.
    std::vector<UniqueHandle> folders;
    folders.push_back(OpenWalkStart(place.walkFrom));
    for (size_t slash = below.find(L'\\'); folders.back() && slash != std::wstring_view::npos;
         below.remove_prefix(slash + 1), slash = below.find(L'\\')) {
        const std::wstring_view name = below.substr(0, slash);
        if (!finalPath.empty()) {
            finalPath.append(1, L'\\').append(name);
        }
        folders.push_back(OpenChildFolder(folders.back().get(), name, makeFolders, finalPath));
    }
    if (!folders.back()) {
        return UniqueHandle();
    }
    if (!finalPath.empty()) {
        finalPath.append(1, L'\\').append(below);
    }
    return OpenChildFile(folders.back().get(), below, kLogAppendAccess, kLogShare, security,
                         finalPath);
}

} // namespace

UniqueHandle OpenLogFileForAppend(const LogPlace& place, bool makeFolders) noexcept {
    try {
        // Only a file that this creates gets the security; an existing one keeps its own.
        const UniqueSecurityDescriptor descriptor = NewLogFileSecurity();
        if (!place.walkFrom.empty()) {
            return OpenByWalk(place, descriptor.get(), makeFolders);
        }
        SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};
        UniqueHandle file(::CreateFileW(place.path.c_str(), kLogAppendAccess, kLogShare, &security,
                                        OPEN_ALWAYS, kFlags, nullptr));
        // A log is a file on a disk, never a pipe or a device.
        if (file && ::GetFileType(file.get()) != FILE_TYPE_DISK) {
            file.reset();
        }
        return file;
    } catch (...) {
        return UniqueHandle(); // out of memory for a path
    }
}
