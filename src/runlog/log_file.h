// Appending whole lines to the shared run-log file, safely across processes.
#pragma once

#include <windows.h>

#include <string_view>

// Writes the bytes at the end of the open file in one piece, serialised
// against other processes appending to the same file. A line is never glued
// to a fragment that an earlier failed write left: it then begins with CR LF.
// False when the bytes could not all be written by the deadline; then, where
// the file may be cut back, none of them stay in it. The file's handle is
// asynchronous: whatever another program holds up past the deadline is
// cancelled, never waited for.
[[nodiscard]] bool AppendToLogFile(HANDLE file, std::string_view bytes,
                                   ULONGLONG deadline) noexcept;

// Takes the lock that serialises appends, on one byte far past any data, so
// that readers, and the locks they may take on the data, are never held up.
// False when another writer kept it past the deadline. Closing the file
// releases it.
[[nodiscard]] bool LockForAppend(HANDLE file, ULONGLONG deadline) noexcept;

// Ends an operation begun on an asynchronous handle, begun being what the
// call that began it returned. One that another program's oplock holds up
// until that program acknowledges the break (a filter oplock holds up an
// append so) is pending, and can be cancelled
// (learn.microsoft.com/windows-hardware/drivers/ifs/breaking-oplocks): past
// the deadline it is, and the cancel waited for, so that nothing writes into
// the OVERLAPPED after this returns. That wait is short for an oplock's; an
// operation a file system or a filter driver has begun may go on to its end
// before it stops (CancelIoEx). True when it ended well.
[[nodiscard]] bool FinishBy(HANDLE file, OVERLAPPED& operation, BOOL begun, ULONGLONG deadline,
                            DWORD& transferred) noexcept;
