// Relative opens through NtCreateFile: a name is looked up in the folder a
// handle holds, so swapping a folder on the path for a link after it was
// checked cannot send what follows elsewhere.
#include "runlog/folder_walk.h"

#include "runlog/final_path.h"

namespace {

constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034L);
constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035L);
constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022L);

// Traverse, the same bit as execute, is access that sharing counts: so that,
// held without delete sharing, the folder cannot be opened for the delete
// access a rename or a move needs.
constexpr DWORD kFolderAccess = FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
// A link at the name is opened as itself, not followed.
constexpr ULONG kFolderOptions =
    FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT;
// The log's handle is asynchronous, so that an append another program's
// oplock holds up can be given up (log_file.cpp).
constexpr ULONG kFileOptions = FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT;

// Opens what is there, or where make is set and nothing is, makes it, with
// the extra access given and sharing that lets this run open it again to
// remove it, should it be refused. The creator of a file gets the access it
// asks for; should a file system refuse it all the same, it is made without.
[[nodiscard]] Opened OpenOrMake(HANDLE parent, std::wstring_view name, DWORD access, ULONG share,
                                ULONG options, PSECURITY_DESCRIPTOR security, bool make,
                                DWORD madeAccess = 0) noexcept {
    Opened opened = NtOpen(parent, name, access, share, FILE_OPEN, options);
    if (!make || opened.status != kNameNotFound) {
        return opened;
    }
    const ULONG madeShare = share | FILE_SHARE_DELETE;
    opened = NtOpen(parent, name, access | madeAccess, madeShare, FILE_CREATE, options, security);
    if (opened.status == kAccessDenied && madeAccess != 0) {
        opened = NtOpen(parent, name, access, madeShare, FILE_CREATE, options, security);
    }
    if (opened.status == kNameCollision) { // another run made it meanwhile
        opened = NtOpen(parent, name, access, share, FILE_OPEN, options);
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

// Removed through a second open of what the handle holds, never by its
// name, marked to be deleted once the last handle to it is closed. That open
// is checked against the rights on what it opens: it needs DELETE there, or
// delete-child on the folder above. Not through SetFileInformationByHandle:
// a delete that way waits until whoever holds a read-handle oplock or lease
// on it acknowledges the break, where an open that completes at once and the
// clean-up of a handle never wait
// (learn.microsoft.com/windows-hardware/drivers/ifs/irp-mj-set-information2,
// irp-mj-cleanup2). Should another program hold it open, the name goes when
// that program closes it; a new folder that someone filled meanwhile cannot
// be removed, and stays.
void Remove(HANDLE made) noexcept {
    constexpr ULONG kAnyShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const Opened remover =
        NtOpen(made, std::wstring_view(), DELETE | SYNCHRONIZE, kAnyShare, FILE_OPEN,
               FILE_DELETE_ON_CLOSE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT);
    static_cast<void>(remover);
}

void Refuse(Opened& opened) noexcept {
    if (opened.made) {
        Remove(opened.handle.get());
    }
    opened.handle.reset();
}

[[nodiscard]] bool IsOneLinkDiskFile(HANDLE file) noexcept {
    FILE_STANDARD_INFO information{};
    return ::GetFileInformationByHandleEx(file, FileStandardInfo, &information,
                                          sizeof(information)) &&
           information.NumberOfLinks == 1 && ::GetFileType(file) == FILE_TYPE_DISK;
}

} // namespace

Opened OpenWalkStart(const std::wstring& path) noexcept {
    try {
        return NtOpen(nullptr, NtPathOf(path), kFolderAccess, kFolderShare, FILE_OPEN,
                      FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
    } catch (...) {
        return {}; // out of memory for a path
    }
}

Opened OpenChildFolder(HANDLE parent, std::wstring_view name, bool create,
                       const std::wstring& finalPath) noexcept {
    Opened folder =
        OpenOrMake(parent, name, kFolderAccess, kFolderShare, kFolderOptions, nullptr, create);
    if (folder && !LiesAt(folder.handle.get(), finalPath)) {
        Refuse(folder);
    }
    return folder;
}

Opened OpenChildFile(HANDLE parent, std::wstring_view name, DWORD access, DWORD share,
                     PSECURITY_DESCRIPTOR security, const std::wstring& finalPath) noexcept {
    // Held with DELETE, a new file can be opened by others only with delete
    // sharing, so nobody can keep its removal from opening it. A new folder
    // is not: another run's walk opens it without delete sharing.
    Opened file = OpenOrMake(parent, name, access, share, kFileOptions, security, true, DELETE);
    if (file && !(LiesAt(file.handle.get(), finalPath) && IsOneLinkDiskFile(file.handle.get()))) {
        Refuse(file);
    }
    return file;
}
