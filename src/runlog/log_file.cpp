// Cross-process safe appends to the run log.
#include "runlog/log_file.h"

#include "runlog/final_path.h"
#include "runlog/log_security.h"

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
// append handle may not change the size; a handle with write access to the
// same file does, where the user has that right (Users have not).
void CutBackTo(HANDLE file, LARGE_INTEGER size) noexcept {
    const UniqueHandle writer(::ReOpenFile(file, GENERIC_WRITE, kShareAll, 0));
    if (writer && ::SetFilePointerEx(writer.get(), size, nullptr, FILE_BEGIN)) {
        ::SetEndOfFile(writer.get());
    }
}

// True when the file is empty or its last line is whole.
[[nodiscard]] bool EndsWithWholeLine(HANDLE file, LARGE_INTEGER size) noexcept {
    if (size.QuadPart == 0) {
        return true;
    }
    const LONGLONG tail = std::min<LONGLONG>(size.QuadPart, 2);
    const ULONGLONG at = static_cast<ULONGLONG>(size.QuadPart - tail);
    OVERLAPPED from{};
    from.Offset = static_cast<DWORD>(at);
    from.OffsetHigh = static_cast<DWORD>(at >> 32);
    char last[2] = {};
    DWORD read = 0;
    if (!::ReadFile(file, last, static_cast<DWORD>(tail), &read, &from) || read != tail) {
        return true; // unknown: leave the bytes as they are
    }
    return tail == 2 && last[0] == '\r' && last[1] == '\n';
}

constexpr DWORD kAppendAccess =
    FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

[[nodiscard]] bool HasOneLinkAndLiesAt(HANDLE file, const std::wstring& finalPath) {
    BY_HANDLE_FILE_INFORMATION information{};
    const auto actual = FinalPathOf(file);
    return ::GetFileInformationByHandle(file, &information) && information.nNumberOfLinks == 1 &&
           actual && SamePath(*actual, finalPath);
}

// Opens the file only where it really lies at the required place. A missing
// file is created only when its folder lies at the required place, and never
// through a link left at the file's own name.
[[nodiscard]] UniqueHandle OpenAtRequiredPlace(const LogPlace& place,
                                               SECURITY_ATTRIBUTES* security) {
    UniqueHandle file(::CreateFileW(place.path.c_str(), kAppendAccess, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
        const std::wstring& required = place.requiredFinalPath;
        const std::wstring folder = place.path.substr(0, place.path.rfind(L'\\'));
        const auto actualFolder = FinalFolderPath(folder);
        if (actualFolder && SamePath(*actualFolder, required.substr(0, required.rfind(L'\\')))) {
            // A link at the name stops CREATE_NEW instead of being followed.
            file.reset(
                ::CreateFileW(place.path.c_str(), kAppendAccess, kShareAll, security, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            if (!file && ::GetLastError() == ERROR_FILE_EXISTS) {
                // Another run created it meanwhile.
                file.reset(::CreateFileW(place.path.c_str(), kAppendAccess, kShareAll, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            }
        }
    }
    if (file && !HasOneLinkAndLiesAt(file.get(), place.requiredFinalPath)) {
        file.reset();
    }
    return file;
}

} // namespace

UniqueHandle OpenLogFileForAppend(const LogPlace& place) noexcept {
    try {
        // Only a file that this creates gets the security; an existing one keeps its own.
        const UniqueSecurityDescriptor descriptor = NewLogFileSecurity();
        SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};
        if (!place.requiredFinalPath.empty()) {
            return OpenAtRequiredPlace(place, &security);
        }
        // Read access is what Windows asks of a handle before it may lock.
        return UniqueHandle(::CreateFileW(place.path.c_str(), kAppendAccess, kShareAll, &security,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    } catch (...) {
        return UniqueHandle(); // out of memory for a path
    }
}

bool AppendToLogFile(HANDLE file, std::string_view bytes) noexcept {
    const bool locked = LockForAppend(file);
    LARGE_INTEGER sizeBefore{};
    const bool sized = ::GetFileSizeEx(file, &sizeBefore);
    // Where an earlier fragment could not be cut back, end it before this line.
    std::string afterFragment;
    if (sized && !EndsWithWholeLine(file, sizeBefore)) {
        try {
            bytes = afterFragment.append("\r\n").append(bytes);
        } catch (...) {
            // Out of memory: the line goes in as it is.
        }
    }
    const bool whole = WriteAtEnd(file, bytes);
    if (!whole && locked && sized) {
        CutBackTo(file, sizeBefore);
    }
    if (locked) {
        Unlock(file);
    }
    return whole;
}
