// Opening the run log, through folder handles where its folders are not only administrators'.
#include "runlog/log_place.h"

#include "runlog/folder_walk.h"
#include "runlog/log_security.h"

#include <string_view>
#include <vector>

namespace {

// Each folder is checked before anything is opened or made inside it, and
// what follows is looked up in the folder held, whatever is done meanwhile
// to the path that named it.
[[nodiscard]] Opened OpenByWalk(const LogPlace& place, PSECURITY_DESCRIPTOR security,
                                bool makeFolders) {
    std::wstring_view below = place.path;
    below.remove_prefix(place.walkFrom.size() + 1);
    std::wstring finalPath = place.walkFromFinalPath;
    // Every folder on the way stays held, so none of them can be moved meanwhile.
    std::vector<Opened> folders;
    folders.push_back(OpenWalkStart(place.walkFrom));
    for (size_t slash = below.find(L'\\'); folders.back() && slash != std::wstring_view::npos;
         below.remove_prefix(slash + 1), slash = below.find(L'\\')) {
        const std::wstring_view name = below.substr(0, slash);
        if (!finalPath.empty()) {
            finalPath.append(1, L'\\').append(name);
        }
        folders.push_back(
            OpenChildFolder(folders.back().handle.get(), name, makeFolders, finalPath));
    }
    if (!folders.back()) {
        return std::move(folders.back());
    }
    if (!finalPath.empty()) {
        finalPath.append(1, L'\\').append(below);
    }
    return OpenChildFile(folders.back().handle.get(), below, kLogAppendAccess, kLogShare, security,
                         finalPath);
}

// Only administrators can write the Common Files place, so links there are
// theirs and followed.
[[nodiscard]] Opened OpenByPath(const LogPlace& place, PSECURITY_DESCRIPTOR security) {
    constexpr ULONG kOptions = FILE_NON_DIRECTORY_FILE; // asynchronous, as in the walk
    Opened file = NtOpen(nullptr, NtPathOf(place.path), kLogAppendAccess, kLogShare, FILE_OPEN_IF,
                         kOptions, security);
    // A log is a file on a disk, never a pipe or a device.
    if (file && ::GetFileType(file.handle.get()) != FILE_TYPE_DISK) {
        file.handle.reset();
    }
    return file;
}

} // namespace

UniqueHandle OpenLogFileForAppend(const LogPlace& place, ULONGLONG deadline,
                                  bool makeFolders) noexcept {
    try {
        // Only a file that this creates gets the security; an existing one keeps its own.
        const UniqueSecurityDescriptor descriptor = NewLogFileSecurity();
        Opened log = OpenPatiently(deadline, [&] {
            return place.walkFrom.empty() ? OpenByPath(place, descriptor.get())
                                          : OpenByWalk(place, descriptor.get(), makeFolders);
        });
        return std::move(log.handle);
    } catch (...) {
        return UniqueHandle(); // out of memory for a path
    }
}
