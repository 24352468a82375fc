// Where the run log's file is, and opening it there for append.
#pragma once

#include "common/unique_handle.h"

#include <string>

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
