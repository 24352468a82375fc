// Appending whole lines to the shared run-log file, safely across processes.
#pragma once

#include <windows.h>

#include <string_view>

// Writes the bytes at the end of the open file in one piece, serialised
// against other processes appending to the same file. A line is never glued
// to a fragment that an earlier failed write left: it then begins with CR LF.
// False when the bytes could not all be written; then, where the file may be
// cut back, none of them stay in it.
[[nodiscard]] bool AppendToLogFile(HANDLE file, std::string_view bytes) noexcept;

// Takes the lock that serialises appends, on one byte far past any data, so
// that readers, and the locks they may take on the data, are never held up.
// False when another writer kept it past all patience. Closing the file
// releases it.
[[nodiscard]] bool LockForAppend(HANDLE file) noexcept;
