// Cross-process safe appends to the run log.
#include "runlog/log_file.h"

#include <algorithm>

namespace {

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

} // namespace

UniqueHandle OpenLogFileForAppend(const std::wstring& path) noexcept {
    // Read access is what Windows asks of a handle before it may lock.
    constexpr DWORD kAccess = FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE;
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    return UniqueHandle(::CreateFileW(path.c_str(), kAccess, kShare, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool AppendToLogFile(HANDLE file, std::string_view bytes) noexcept {
    const bool locked = LockForAppend(file);
    bool ok = true;
    while (ok && !bytes.empty()) {
        // Offset all ones asks for the current end of the file, on every write.
        OVERLAPPED atEnd{};
        atEnd.Offset = 0xFFFFFFFF;
        atEnd.OffsetHigh = 0xFFFFFFFF;
        DWORD written = 0;
        ok = ::WriteFile(file, bytes.data(),
                         static_cast<DWORD>(std::min<size_t>(bytes.size(), MAXDWORD)), &written,
                         &atEnd) &&
             written > 0;
        if (ok) {
            bytes.remove_prefix(written);
        }
    }
    if (locked) {
        Unlock(file);
    }
    return ok;
}
