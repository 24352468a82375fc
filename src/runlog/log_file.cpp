// Cross-process safe appends to the run log.
#include "runlog/log_file.h"

#include <algorithm>

namespace {

// Other writers and readers, a log viewer among them, may keep the file open.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Writers lock one byte far past any real data, so readers are never blocked.
constexpr DWORD kLockOffsetLow = 0xFFFFFFFE;
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
// A writer holds the lock only for one WriteFile; waiting longer than this means
// something is wrong, and then writing unserialised beats losing the line.
constexpr ULONGLONG kLockPatienceMs = 5000;
constexpr DWORD kLockRetryMs = 1;

OVERLAPPED LockRegion() noexcept {
    OVERLAPPED region{};
    region.Offset = kLockOffsetLow;
    region.OffsetHigh = kLockOffsetHigh;
    return region;
}

[[nodiscard]] bool LockForAppend(HANDLE file) noexcept {
    const ULONGLONG deadline = ::GetTickCount64() + kLockPatienceMs;
    for (;;) {
        OVERLAPPED region = LockRegion();
        if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                         &region)) {
            return true;
        }
        const DWORD error = ::GetLastError();
        if ((error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) ||
            ::GetTickCount64() >= deadline) {
            return false;
        }
        ::Sleep(kLockRetryMs);
    }
}

void Unlock(HANDLE file) noexcept {
    OVERLAPPED region = LockRegion();
    ::UnlockFileEx(file, 0, 1, 0, &region);
}

[[nodiscard]] bool WriteAtEnd(HANDLE file, std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        // Offset all ones asks for the current end of the file, on every write.
        OVERLAPPED atEnd{};
        atEnd.Offset = 0xFFFFFFFF;
        atEnd.OffsetHigh = 0xFFFFFFFF;
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), MAXDWORD));
        if (!::WriteFile(file, bytes.data(), chunk, &written, &atEnd) || written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

// A full disk can take part of a line; the next line would then be glued to
// that fragment. While the lock is held nobody else has appended, so cutting
// the file back to its size before the write removes just the fragment. The
// append handle may not change the size, so a second handle does.
void CutBackTo(const std::wstring& path, LARGE_INTEGER size) noexcept {
    const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file && ::SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN)) {
        ::SetEndOfFile(file.get());
    }
}

} // namespace

UniqueHandle OpenLogFileForAppend(const std::wstring& path) noexcept {
    // Read access is what Windows asks of a handle before it may lock.
    constexpr DWORD kAccess =
        FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    return UniqueHandle(::CreateFileW(path.c_str(), kAccess, kShareAll, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool AppendToLogFile(HANDLE file, const std::wstring& path, std::string_view bytes) noexcept {
    const bool locked = LockForAppend(file);
    LARGE_INTEGER sizeBefore{};
    const bool sized = ::GetFileSizeEx(file, &sizeBefore);
    const bool whole = WriteAtEnd(file, bytes);
    if (!whole && locked && sized) {
        CutBackTo(path, sizeBefore);
    }
    if (locked) {
        Unlock(file);
    }
    return whole;
}
