// Test stand-in for another user who takes a read-write-handle oplock on the run log, for the
// Windows acceptance: "hold" never acknowledges a break, "ack" lets go at once on every break
// and takes a new oplock, so that every later open of the file meets one again.
//
// oplock_holder.exe <file> <hold|ack> <ready-file> <seconds>
//
// Creates <ready-file> (empty) once the first oplock is held, keeps going for <seconds>, then
// prints "breaks N" (the breaks seen) and exits 0. Exits 2 when the first oplock is refused
// (Wine has no oplocks: ERROR_NOT_SUPPORTED), 3 on bad arguments or a file it cannot open.
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "common/unique_handle.h"

namespace {

constexpr int kDone = 0;
constexpr int kNoOplock = 2;
constexpr int kBadArguments = 3;

// One open of the file with one oplock request on it. A granted request stays pending until
// the oplock breaks, and the system then writes into this object; so it is neither copied nor
// moved, and it closes the file and waits for the request to end before its buffers go.
class Oplock {
public:
    Oplock() noexcept = default;
    ~Oplock() { Release(); }
    Oplock(const Oplock&) = delete;
    Oplock& operator=(const Oplock&) = delete;

    // ERROR_SUCCESS once the file is open, read access only, as any user who may read the log
    // could open it; every sharing flag, so that the holder itself refuses no other open.
    [[nodiscard]] DWORD Open(const std::wstring& path) noexcept {
        Release();
        file_.reset(::CreateFileW(path.c_str(), FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        return file_ ? ERROR_SUCCESS : ::GetLastError();
    }

    // ERROR_SUCCESS once a read-write-handle oplock is held on the open file. It is an
    // exclusive oplock, granted only while this handle is the file's only open: the
    // system counts the file's user handles for it, and grants RW or RWH beside other
    // opens only when all of them share one oplock key, which another program's do not
    // (learn.microsoft.com/windows-hardware/drivers/ifs/fsctl-request-oplock, OpenCount;
    // learn.microsoft.com/windows/win32/fileio/types-of-opportunistic-locks). Otherwise the
    // request fails, most often with ERROR_OPLOCK_NOT_GRANTED.
    [[nodiscard]] DWORD Request() noexcept {
        if (!event_) {
            event_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
            if (!event_) {
                return ::GetLastError();
            }
        }
        ::ResetEvent(event_.get());
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = event_.get();
        REQUEST_OPLOCK_INPUT_BUFFER input{};
        input.StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
        input.StructureLength = sizeof input;
        input.RequestedOplockLevel =
            OPLOCK_LEVEL_CACHE_READ | OPLOCK_LEVEL_CACHE_WRITE | OPLOCK_LEVEL_CACHE_HANDLE;
        input.Flags = REQUEST_OPLOCK_INPUT_FLAG_REQUEST;
        output_ = REQUEST_OPLOCK_OUTPUT_BUFFER{};
        output_.StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
        output_.StructureLength = sizeof output_;
        // Granted shows as FALSE with ERROR_IO_PENDING, and the request completes on the
        // break; any other result is a refusal
        // (learn.microsoft.com/windows-hardware/drivers/ifs/granting-oplocks).
        if (::DeviceIoControl(file_.get(), FSCTL_REQUEST_OPLOCK, &input, sizeof input, &output_,
                              sizeof output_, nullptr, &overlapped_)) {
            return ERROR_OPLOCK_NOT_GRANTED;
        }
        const DWORD error = ::GetLastError();
        pending_ = error == ERROR_IO_PENDING;
        return pending_ ? ERROR_SUCCESS : error;
    }

    // Signalled when the oplock breaks.
    [[nodiscard]] HANDLE broken() const noexcept { return event_.get(); }

    // Closing the handle counts as a complete acknowledgment of a break, so a waiting open
    // goes on at once; it also ends an unbroken request, with STATUS_OPLOCK_HANDLE_CLOSED
    // (learn.microsoft.com/windows/win32/api/winioctl/ni-winioctl-fsctl_request_oplock;
    // learn.microsoft.com/windows-hardware/drivers/ifs/fsctl-opbatch-ack-close-pending).
    void Release() noexcept {
        file_.reset();
        if (pending_) {
            ::WaitForSingleObject(event_.get(), INFINITE);
            pending_ = false;
        }
    }

private:
    UniqueHandle file_;
    UniqueHandle event_;
    OVERLAPPED overlapped_{};
    REQUEST_OPLOCK_OUTPUT_BUFFER output_{};
    bool pending_ = false;
};

void PrintError(const wchar_t* what, const std::wstring& path, DWORD error) {
    wchar_t text[256] = {};
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, error, 0, text, 256, nullptr);
    while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r')) {
        text[--length] = L'\0';
    }
    std::fwprintf(stderr, L"oplock_holder: %ls %ls: error %lu: %ls\n", what, path.c_str(), error,
                  text);
}

[[nodiscard]] DWORD Remaining(ULONGLONG deadline) noexcept {
    const ULONGLONG now = ::GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    constexpr unsigned long kMaxSeconds = 86'400;
    if (argc != 5) {
        std::fwprintf(stderr, L"usage: oplock_holder <file> <hold|ack> <ready-file> <seconds>\n");
        return kBadArguments;
    }
    const std::wstring path = argv[1];
    const std::wstring mode = argv[2];
    wchar_t* end = nullptr;
    const unsigned long seconds = std::wcstoul(argv[4], &end, 10);
    if ((mode != L"hold" && mode != L"ack") || *end != L'\0' || seconds == 0 ||
        seconds > kMaxSeconds) {
        std::fwprintf(stderr, L"oplock_holder: bad arguments\n");
        return kBadArguments;
    }
    const bool acknowledge = mode == L"ack";
    const ULONGLONG deadline = ::GetTickCount64() + seconds * 1000ULL;

    Oplock oplock;
    if (const DWORD error = oplock.Open(path); error != ERROR_SUCCESS) {
        PrintError(L"cannot open", path, error);
        return kBadArguments;
    }
    if (const DWORD error = oplock.Request(); error != ERROR_SUCCESS) {
        PrintError(L"no oplock on", path, error);
        return kNoOplock;
    }
    // The caller starts the run only once this file is there.
    if (!UniqueHandle(::CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr))) {
        PrintError(L"cannot create", argv[3], ::GetLastError());
        return kBadArguments;
    }

    // A new oplock is refused while someone else has the file open: asked again this often.
    constexpr DWORD kRetryMs = 5;
    unsigned long breaks = 0;
    while (::WaitForSingleObject(oplock.broken(), Remaining(deadline)) == WAIT_OBJECT_0) {
        ++breaks;
        if (!acknowledge) {
            // The attacker: the break stays unacknowledged and the handle open to the end.
            ::Sleep(Remaining(deadline));
            break;
        }
        oplock.Release();
        while (Remaining(deadline) > 0 &&
               (oplock.Open(path) != ERROR_SUCCESS || oplock.Request() != ERROR_SUCCESS)) {
            ::Sleep(kRetryMs);
        }
        if (Remaining(deadline) == 0) {
            break;
        }
    }
    std::printf("breaks %lu\n", breaks);
    return kDone;
}
