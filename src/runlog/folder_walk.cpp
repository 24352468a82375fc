// Relative opens through NtCreateFile: a name is looked up in the folder a
// handle holds, so swapping a folder on the path for a link after it was
// checked cannot send what follows elsewhere.
#include "runlog/folder_walk.h"

#include "runlog/final_path.h"

#include <winternl.h>

namespace {

constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034L);
constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035L);
constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022L);

// Traverse, the same bit as execute, is access that sharing counts: so that,
// held without delete sharing, the folder cannot be opened for the delete
// access a rename or a move needs.
constexpr DWORD kFolderAccess = FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
// A link at the name is opened as itself, not followed; synchronous like CreateFileW's handles.
constexpr ULONG kNoLinkFollowed = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT;

struct Opened {
    UniqueHandle handle;
    NTSTATUS status = 0;
};

[[nodiscard]] Opened OpenRelative(HANDLE parent, std::wstring_view name, ACCESS_MASK access,
                                  ULONG share, ULONG disposition, ULONG options,
                                  PSECURITY_DESCRIPTOR security) noexcept {
    UNICODE_STRING objectName{};
    objectName.Buffer = const_cast<PWSTR>(name.data());
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    // Should a named pipe stand at the name, its server learns nothing of
    // who runs the launcher, and cannot act as them.
    SECURITY_QUALITY_OF_SERVICE anonymous{sizeof(anonymous), SecurityAnonymous,
                                          SECURITY_STATIC_TRACKING, FALSE};
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, parent, security);
    attributes.SecurityQualityOfService = &anonymous;
    IO_STATUS_BLOCK status{};
    HANDLE handle = nullptr;
    Opened opened;
    opened.status = ::NtCreateFile(&handle, access, &attributes, &status, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, share, disposition, options, nullptr, 0);
    if (NT_SUCCESS(opened.status)) {
        opened.handle = UniqueHandle(handle);
    }
    return opened;
}

// Windows shows a link opened as itself by its reparse attribute. Wine
// follows it and shows none, so there only the final path tells. Where the
// walk's start had a final path, whatever lies below must have one too.
[[nodiscard]] bool LiesAt(HANDLE handle, const std::wstring& finalPath) noexcept {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag)) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    if (finalPath.empty()) {
        return true;
    }
    try {
        const auto actual = FinalPathOf(handle);
        return actual && SamePath(*actual, finalPath);
    } catch (...) {
        return false;
    }
}

// POSIX semantics takes the name away at once, even while another process
// that opened the file meanwhile keeps it open; Windows 10 1607 and later,
// and not every file system, have it (FileDispositionInfoEx and its flags).
void Remove(HANDLE file) noexcept {
    constexpr auto kDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
    constexpr DWORD kDeleteNamePosix = 0x1 | 0x2;
    DWORD removeName = kDeleteNamePosix;
    if (!::SetFileInformationByHandle(file, kDispositionInfoEx, &removeName, sizeof(removeName))) {
        FILE_DISPOSITION_INFO remove{TRUE};
        static_cast<void>(
            ::SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof(remove)));
    }
}

[[nodiscard]] bool IsOneLinkDiskFile(HANDLE file) noexcept {
    FILE_STANDARD_INFO information{};
    return ::GetFileInformationByHandleEx(file, FileStandardInfo, &information,
                                          sizeof(information)) &&
           information.NumberOfLinks == 1 && ::GetFileType(file) == FILE_TYPE_DISK;
}

} // namespace

UniqueHandle OpenWalkStart(const std::wstring& path) noexcept {
    // Backup semantics is what lets CreateFileW open a folder.
    return UniqueHandle(::CreateFileW(path.c_str(), kFolderAccess, kFolderShare, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

UniqueHandle OpenChildFolder(HANDLE parent, std::wstring_view name, bool create,
                             const std::wstring& finalPath) noexcept {
    Opened folder =
        OpenRelative(parent, name, kFolderAccess, kFolderShare, create ? FILE_OPEN_IF : FILE_OPEN,
                     FILE_DIRECTORY_FILE | kNoLinkFollowed, nullptr);
    if (folder.handle && !LiesAt(folder.handle.get(), finalPath)) {
        folder.handle.reset();
    }
    return std::move(folder.handle);
}

UniqueHandle OpenChildFile(HANDLE parent, std::wstring_view name, DWORD access, DWORD share,
                           PSECURITY_DESCRIPTOR security, const std::wstring& finalPath) noexcept {
    constexpr ULONG kOptions = FILE_NON_DIRECTORY_FILE | kNoLinkFollowed;
    Opened file = OpenRelative(parent, name, access, share, FILE_OPEN, kOptions, nullptr);
    bool made = false;
    if (file.status == kNameNotFound) {
        // The right to delete what this makes, should it be refused. The
        // creator of a file gets the access it asks for; should a file system
        // refuse it all the same, the file is made without.
        file = OpenRelative(parent, name, access | DELETE, share, FILE_CREATE, kOptions, security);
        if (file.status == kAccessDenied) {
            file = OpenRelative(parent, name, access, share, FILE_CREATE, kOptions, security);
        }
        made = static_cast<bool>(file.handle);
        if (file.status == kNameCollision) { // another run made it meanwhile
            file = OpenRelative(parent, name, access, share, FILE_OPEN, kOptions, nullptr);
        }
    }
    if (file.handle &&
        !(LiesAt(file.handle.get(), finalPath) && IsOneLinkDiskFile(file.handle.get()))) {
        if (made) {
            Remove(file.handle.get());
        }
        file.handle.reset();
    }
    return std::move(file.handle);
}
