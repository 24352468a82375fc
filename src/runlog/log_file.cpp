// Cross-process safe appends to the run log.
#include "runlog/log_file.h"

#include "common/unique_handle.h"
#include "runlog/log_place.h"
#include "runlog/nt_open.h"

#include <algorithm>
#include <string>

namespace {

// Writers lock one byte far past any real data, so readers are never blocked.
constexpr DWORD kLockOffsetLow = 0xFFFFFFFE;
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kLockRetryMs = 1;

OVERLAPPED LockRegion() noexcept {
    OVERLAPPED region{};
    region.Offset = kLockOffsetLow;
    region.OffsetHigh = kLockOffsetHigh;
    return region;
}

// Each operation is waited for through an event of its own, not the file's
// handle, which every operation on it signals. Without one (out of
// resources), the file's handle serves, one operation at a time as here.
[[nodiscard]] UniqueHandle NewEvent() noexcept {
    return UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

[[nodiscard]] DWORD MillisecondsUntil(ULONGLONG deadline) noexcept {
    const ULONGLONG now = ::GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

} // namespace

bool FinishBy(HANDLE file, OVERLAPPED& operation, BOOL begun, ULONGLONG deadline,
              DWORD& transferred) noexcept {
    if (!begun && ::GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    if (::GetOverlappedResultEx(file, &operation, &transferred, MillisecondsUntil(deadline),
                                FALSE)) {
        return true;
    }
    const DWORD error = ::GetLastError();
    if (error != WAIT_TIMEOUT && error != ERROR_IO_INCOMPLETE) {
        return false;
    }
    ::CancelIoEx(file, &operation);
    // True where it ended on its own meanwhile.
    return ::GetOverlappedResult(file, &operation, &transferred, TRUE) != FALSE;
}

bool LockForAppend(HANDLE file, ULONGLONG deadline) noexcept {
    const UniqueHandle done = NewEvent();
    for (;;) {
        OVERLAPPED region = LockRegion();
        region.hEvent = done.get();
        DWORD unused = 0;
        if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                         &region) ||
            (::GetLastError() == ERROR_IO_PENDING &&
             FinishBy(file, region, FALSE, deadline, unused))) {
            return true;
        }
        // A writer holds the lock only for one WriteFile; waiting longer than the
        // line's patience means something is wrong, and then writing unserialised
        // beats losing the line.
        if (::GetLastError() != ERROR_LOCK_VIOLATION || ::GetTickCount64() >= deadline) {
            return false;
        }
        ::Sleep(kLockRetryMs);
    }
}

namespace {

void Unlock(HANDLE file) noexcept {
    OVERLAPPED region = LockRegion();
    ::UnlockFileEx(file, 0, 1, 0, &region);
}

[[nodiscard]] bool WriteAtEnd(HANDLE file, std::string_view bytes, ULONGLONG deadline) noexcept {
    const UniqueHandle done = NewEvent();
    while (!bytes.empty()) {
        // Offset all ones asks for the current end of the file, on every write.
        OVERLAPPED atEnd{};
        atEnd.hEvent = done.get();
        atEnd.Offset = 0xFFFFFFFF;
        atEnd.OffsetHigh = 0xFFFFFFFF;
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), MAXDWORD));
        const BOOL begun = ::WriteFile(file, bytes.data(), chunk, nullptr, &atEnd);
        if (!FinishBy(file, atEnd, begun, deadline, written) || written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

// A full disk can take part of a line; the next line would then be glued to
// that fragment. While the lock is held nobody else has appended, so cutting
// the file back to its size before the write removes just the fragment. The
// append handle may not change the size; a handle with write access to the
// same file does, where the user has that right (Users have not). It is
// opened through the handle, as ReOpenFile does, never through a link nor,
// for a pipe's sake, as the caller; should an oplock break be in progress
// all the same, the fragment stays for the next line to end.
void CutBackTo(HANDLE file, LARGE_INTEGER size) noexcept {
    constexpr ULONG kOptions =
        FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT;
    const Opened writer = NtOpen(file, std::wstring_view(), GENERIC_WRITE | SYNCHRONIZE, kLogShare,
                                 FILE_OPEN, kOptions);
    if (writer && ::SetFilePointerEx(writer.handle.get(), size, nullptr, FILE_BEGIN)) {
        ::SetEndOfFile(writer.handle.get());
    }
}

// True when the file is empty or its last line is whole.
[[nodiscard]] bool EndsWithWholeLine(HANDLE file, LARGE_INTEGER size, ULONGLONG deadline) noexcept {
    if (size.QuadPart == 0) {
        return true;
    }
    const LONGLONG tail = std::min<LONGLONG>(size.QuadPart, 2);
    const ULONGLONG at = static_cast<ULONGLONG>(size.QuadPart - tail);
    const UniqueHandle done = NewEvent();
    OVERLAPPED from{};
    from.hEvent = done.get();
    from.Offset = static_cast<DWORD>(at);
    from.OffsetHigh = static_cast<DWORD>(at >> 32);
    char last[2] = {};
    DWORD read = 0;
    const BOOL begun = ::ReadFile(file, last, static_cast<DWORD>(tail), nullptr, &from);
    if (!FinishBy(file, from, begun, deadline, read) || read != tail) {
        return true; // unknown: leave the bytes as they are
    }
    return tail == 2 && last[0] == '\r' && last[1] == '\n';
}

} // namespace

bool AppendToLogFile(HANDLE file, std::string_view bytes, ULONGLONG deadline) noexcept {
    const bool locked = LockForAppend(file, deadline);
    LARGE_INTEGER sizeBefore{};
    const bool sized = ::GetFileSizeEx(file, &sizeBefore);
    // Where an earlier fragment could not be cut back, end it before this line.
    std::string afterFragment;
    if (sized && !EndsWithWholeLine(file, sizeBefore, deadline)) {
        try {
            bytes = afterFragment.append("\r\n").append(bytes);
        } catch (...) {
            // Out of memory: the line goes in as it is.
        }
    }
    const bool whole = WriteAtEnd(file, bytes, deadline);
    // An append given up on wrote nothing; one that failed part-way had got
    // past every oplock, and none can be taken while the file is open here.
    LARGE_INTEGER sizeAfter{};
    if (!whole && locked && sized && ::GetFileSizeEx(file, &sizeAfter) &&
        sizeAfter.QuadPart > sizeBefore.QuadPart) {
        CutBackTo(file, sizeBefore);
    }
    if (locked) {
        Unlock(file);
    }
    return whole;
}
