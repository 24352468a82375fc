// Opening the shared run-log file and appending whole lines to it, safely across processes.
#pragma once

#include "common/unique_handle.h"

#include <string>
#include <string_view>

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

// Writes the bytes at the end of the open file in one piece, serialised
// against other processes appending to the same file. A line is never glued
// to a fragment that an earlier failed write left: it then begins with CR LF.
// False when the bytes could not all be written; then, where the file may be
// cut back, none of them stay in it.
[[nodiscard]] bool AppendToLogFile(HANDLE file, std::string_view bytes) noexcept;
