// Appending whole lines to the shared run-log file, safely across processes.
#pragma once

#include "common/unique_handle.h"

#include <string>
#include <string_view>

// Opens the log for appending, creating it if missing; other readers and
// writers may keep it open meanwhile. Invalid when the file cannot be opened.
[[nodiscard]] UniqueHandle OpenLogFileForAppend(const std::wstring& path) noexcept;

// Writes the bytes at the end of the open file (found at path) in one piece,
// serialised against other processes appending to the same file. False when
// the bytes could not all be written; then none of them stay in the file.
[[nodiscard]] bool AppendToLogFile(HANDLE file, const std::wstring& path,
                                   std::string_view bytes) noexcept;
