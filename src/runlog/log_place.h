// Where the run log's file is, and opening it there for append.
#pragma once

#include "common/unique_handle.h"

#include <string>

// What every open of the log asks for: appending, and the reads that locking
// and the look at the file's last bytes need. Standard users hold these rights.
constexpr DWORD kLogAppendAccess =
    FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// Other writers and readers, a log viewer among them, may keep the file open.
constexpr DWORD kLogShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The run log's file, and how it is reached where others could plant links.
struct LogPlace {
    std::wstring path;
    // If not empty: path is this folder, a backslash and the names below it,
    // and the log is reached from this folder one name at a time through
    // handles, never through a link; other users may own what lies below.
    std::wstring walkFrom;
    // The final path of walkFrom where it could be read: then everything
    // below must also lie where its final path says.
    std::wstring walkFromFinalPath;
};

// Opens the log for appending, creating it if missing (with the log's own
// security); other readers and writers may keep it open meanwhile. Below a
// walkFrom folder, makeFolders creates missing folders too. Invalid when the
// file cannot be opened, or does not lie where the place requires, or when
// another program's oplock on it or on a folder on the way is still being
// broken at the deadline: no open waits for another program to let go. The
// handle is asynchronous.
[[nodiscard]] UniqueHandle OpenLogFileForAppend(const LogPlace& place, ULONGLONG deadline,
                                                bool makeFolders = false) noexcept;
