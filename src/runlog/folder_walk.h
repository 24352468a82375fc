// Opening what lies below a folder by name, through the folder's handle, never through a link.
#pragma once

#include "runlog/nt_open.h"

#include <string>
#include <string_view>

// A folder handle to walk down from: opened by its path, with every link on
// that path followed, so only a folder whose path nobody else controls
// belongs here. While it is open, nobody can rename, move or delete the folder.
[[nodiscard]] Opened OpenWalkStart(const std::wstring& path) noexcept;

// Opens the folder of that name inside the parent, or with create makes it
// first (with the default security it inherits). Refuses a link or any other
// reparse point at the name, and where finalPath is given and the folder's
// final path can be read, a folder whose final path is another; a folder this
// made and then refused is removed again. While it is open, nobody can rename,
// move or delete a folder that was there; one this made can be renamed, which
// makes what lies below it refused, as it no longer lies where it must.
[[nodiscard]] Opened OpenChildFolder(HANDLE parent, std::wstring_view name, bool create,
                                     const std::wstring& finalPath) noexcept;

// Opens the file of that name inside the parent with the access and sharing
// asked for, or makes it with the security given when it is missing. Refuses, as OpenChildFolder
// does, and also a file with another name besides (a hard link) and anything that is not a file on
// a disk. A file this made and then refused is removed again.
[[nodiscard]] Opened OpenChildFile(HANDLE parent, std::wstring_view name, DWORD access, DWORD share,
                                   PSECURITY_DESCRIPTOR security,
                                   const std::wstring& finalPath) noexcept;
