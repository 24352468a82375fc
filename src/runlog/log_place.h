// Where the run log's file is, and opening it there for append.
#pragma once

#include "common/unique_handle.h"

#include <string>

// What every open of the log asks for: appending, and the reads that locking
// and the look at the file's last bytes need. Standard users hold these rights.
constexpr DWORD kLogAppendAccess =
    FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// The run log's file, and where it must really lie where others could plant links.
struct LogPlace {
    std::wstring path;
    // If not empty: the file is used only when its final path is this one
    // (whatever the letter case) and it has no other link, and it is never
    // created through a link.
    std::wstring requiredFinalPath;
};

// Opens the log for appending, creating it if missing (with the log's own
// security); other readers and writers may keep it open meanwhile. Invalid
// when the file cannot be opened, or does not lie where the place requires.
[[nodiscard]] UniqueHandle OpenLogFileForAppend(const LogPlace& place) noexcept;
