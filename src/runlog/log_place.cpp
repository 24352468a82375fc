// Opening the run log, only where it really lies when that is required.
#include "runlog/log_place.h"

#include "runlog/final_path.h"
#include "runlog/log_security.h"

namespace {

// Other writers and readers, a log viewer among them, may keep the file open.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Should a named pipe stand where the log is looked for, its server learns
// nothing of who runs the launcher, and cannot act as them.
constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS;

[[nodiscard]] UniqueHandle Open(const std::wstring& path, DWORD disposition,
                                SECURITY_ATTRIBUTES* security = nullptr, DWORD moreFlags = 0) {
    return UniqueHandle(::CreateFileW(path.c_str(), kLogAppendAccess, kShareAll, security,
                                      disposition, kFlags | moreFlags, nullptr));
}

[[nodiscard]] std::wstring FolderOf(const std::wstring& path) {
    return path.substr(0, path.rfind(L'\\'));
}

[[nodiscard]] bool HasOneLinkAndLiesAt(HANDLE file, const std::wstring& finalPath) {
    FILE_STANDARD_INFO information{};
    if (!::GetFileInformationByHandleEx(file, FileStandardInfo, &information,
                                        sizeof(information)) ||
        information.NumberOfLinks != 1) {
        return false;
    }
    const auto actual = FinalPathOf(file);
    return actual && SamePath(*actual, finalPath);
}

[[nodiscard]] bool FolderLiesAt(const LogPlace& place) {
    const auto folder = FinalFolderPath(FolderOf(place.path));
    return folder && SamePath(*folder, FolderOf(place.requiredFinalPath));
}

// Opens the file only where it really lies at the required place, and never
// creates it through a link: a missing file is made only in a folder that
// lies at the required place, and a link left at its own name stops that.
// A pipe or device reached through a folder link learns nothing of the
// caller (anonymous impersonation) and is refused as no disk file.
[[nodiscard]] UniqueHandle OpenAtRequiredPlace(const LogPlace& place,
                                               SECURITY_ATTRIBUTES* security) {
    UniqueHandle file = Open(place.path, OPEN_EXISTING);
    if (!file && ::GetLastError() == ERROR_FILE_NOT_FOUND && FolderLiesAt(place)) {
        // A link at the name stops CREATE_NEW instead of being followed.
        file = Open(place.path, CREATE_NEW, security, FILE_FLAG_OPEN_REPARSE_POINT);
        if (!file && ::GetLastError() == ERROR_FILE_EXISTS) {
            file = Open(place.path, OPEN_EXISTING); // another run created it meanwhile
        }
    }
    if (file && !HasOneLinkAndLiesAt(file.get(), place.requiredFinalPath)) {
        file.reset();
    }
    return file;
}

} // namespace

UniqueHandle OpenLogFileForAppend(const LogPlace& place) noexcept {
    try {
        // Only a file that this creates gets the security; an existing one keeps its own.
        const UniqueSecurityDescriptor descriptor = NewLogFileSecurity();
        SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};
        UniqueHandle file = place.requiredFinalPath.empty()
                                ? Open(place.path, OPEN_ALWAYS, &security)
                                : OpenAtRequiredPlace(place, &security);
        // A log is a file on a disk, never a pipe or a device.
        if (file && ::GetFileType(file.get()) != FILE_TYPE_DISK) {
            file.reset();
        }
        return file;
    } catch (...) {
        return UniqueHandle(); // out of memory for a path
    }
}
