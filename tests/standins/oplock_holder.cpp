// Test stand-in for another user who holds up the run log's opens and writes, for the Windows
// acceptance. A read-write-handle oplock: "hold" never acknowledges a break, "ack" lets go at
// once on every break and takes a new oplock, so that every later open of the file meets one
// again. "filter" takes a filter oplock and never lets go. "atomic" opens the file requiring an
// oplock (FILE_OPEN_REQUIRING_OPLOCK) and never asks for one, so nothing of it can break.
//
// oplock_holder.exe <file> <hold|ack|filter|atomic> <ready-file> <seconds>   (<file> a full path)
//
// Creates <ready-file> (empty) once the first oplock, or the atomic open, is held, and
// <ready-file>.broken (empty) at the first break, so that the caller can tell a run that met the
// oplock from one that never did. Keeps going for <seconds>, then prints "breaks N" (the breaks
// seen, 0 for atomic) and exits 0. Exits 2 when the first oplock or the atomic open is refused
// (Wine has no oplocks: ERROR_NOT_SUPPORTED), 3 on bad arguments or a file it cannot open.
#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "common/unique_handle.h"

namespace {

constexpr int kDone = 0;
constexpr int kNoOplock = 2;
constexpr int kBadArguments = 3;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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
                                  kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                  nullptr));
        return file_ ? ERROR_SUCCESS : ::GetLastError();
    }

    // The same through NtCreateFile (path must be full), asynchronous, with create options that
    // CreateFileW cannot ask for.
    [[nodiscard]] NTSTATUS OpenNt(const std::wstring& path, ACCESS_MASK access,
                                  ULONG options) noexcept {
        Release();
        std::wstring name = L"\\??\\" + path;
        UNICODE_STRING objectName{static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                                  static_cast<USHORT>(name.size() * sizeof(wchar_t)), name.data()};
        OBJECT_ATTRIBUTES attributes{};
        InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, nullptr,
                                   nullptr);
        IO_STATUS_BLOCK io{};
        HANDLE handle = nullptr;
        const NTSTATUS status =
            ::NtCreateFile(&handle, access, &attributes, &io, nullptr, 0, kShareAll, FILE_OPEN,
                           options | FILE_NON_DIRECTORY_FILE, nullptr, 0);
        file_.reset(NT_SUCCESS(status) ? handle : nullptr);
        return status;
    }

    // ERROR_SUCCESS once a read-write-handle oplock is held on the open file. It is an
    // exclusive oplock, granted only while this handle is the file's only open: the
    // system counts the file's user handles for it, and grants RW or RWH beside other
    // opens only when all of them share one oplock key, which another program's do not
    // (learn.microsoft.com/windows-hardware/drivers/ifs/fsctl-request-oplock, OpenCount;
    // learn.microsoft.com/windows/win32/fileio/types-of-opportunistic-locks). Otherwise the
    // request fails, most often with ERROR_OPLOCK_NOT_GRANTED.
    // A filter oplock (code FSCTL_REQUEST_FILTER_OPLOCK) takes no buffers.
    [[nodiscard]] DWORD Request(DWORD code = FSCTL_REQUEST_OPLOCK) noexcept {
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
        const bool levels = code == FSCTL_REQUEST_OPLOCK;
        if (::DeviceIoControl(file_.get(), code, levels ? &input : nullptr,
                              levels ? sizeof input : 0, levels ? &output_ : nullptr,
                              levels ? sizeof output_ : 0, nullptr, &overlapped_)) {
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

void PrintError(const wchar_t* what, const std::wstring& path, DWORD error, NTSTATUS status = 0) {
    wchar_t text[256] = {};
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, error, 0, text, 256, nullptr);
    while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r')) {
        text[--length] = L'\0';
    }
    std::fwprintf(stderr, L"oplock_holder: %ls %ls: ", what, path.c_str());
    if (status != 0) {
        std::fwprintf(stderr, L"status 0x%08lX, ", static_cast<unsigned long>(status));
    }
    std::fwprintf(stderr, L"error %lu: %ls\n", error, text);
}

[[nodiscard]] DWORD Remaining(ULONGLONG deadline) noexcept {
    const ULONGLONG now = ::GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    constexpr unsigned long kMaxSeconds = 86'400;
    if (argc != 5) {
        std::fwprintf(
            stderr,
            L"usage: oplock_holder <file> <hold|ack|filter|atomic> <ready-file> <seconds>\n");
        return kBadArguments;
    }
    const std::wstring path = argv[1];
    const std::wstring mode = argv[2];
    wchar_t* end = nullptr;
    const unsigned long seconds = std::wcstoul(argv[4], &end, 10);
    if ((mode != L"hold" && mode != L"ack" && mode != L"filter" && mode != L"atomic") ||
        *end != L'\0' || seconds == 0 || seconds > kMaxSeconds) {
        std::fwprintf(stderr, L"oplock_holder: bad arguments\n");
        return kBadArguments;
    }
    const bool acknowledge = mode == L"ack";
    const bool atomic = mode == L"atomic";
    const ULONGLONG deadline = ::GetTickCount64() + seconds * 1000ULL;

    // Filter and atomic as NtCreateFile's page tells (learn.microsoft.com/windows-hardware/
    // drivers/ddi/ntifs/nf-ntifs-ntcreatefile): the filter oplock on a handle that reserves it,
    // reads attributes only and shares everything, so it is granted only while no other open
    // exists; the atomic open is to be followed by an oplock request, which never comes.
    Oplock oplock;
    NTSTATUS status = 0;
    const auto acquire = [&]() -> DWORD {
        status = 0;
        if (const DWORD error = oplock.Open(path); error != ERROR_SUCCESS) {
            return error;
        }
        if (mode == L"filter") {
            status = oplock.OpenNt(path, FILE_READ_ATTRIBUTES, FILE_RESERVE_OPFILTER);
        } else if (atomic) {
            status = oplock.OpenNt(path, FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_OPEN_REQUIRING_OPLOCK);
        }
        return !NT_SUCCESS(status) ? ::RtlNtStatusToDosError(status)
               : atomic            ? ERROR_SUCCESS
               : mode == L"filter" ? oplock.Request(FSCTL_REQUEST_FILTER_OPLOCK)
                                   : oplock.Request();
    };
    // An exclusive oplock is refused while anyone else has the file open, a virus scanner
    // or an indexer for a moment too: asked again for a while before that counts.
    constexpr ULONGLONG kGrantPatienceMs = 10'000;
    const ULONGLONG grantDeadline = ::GetTickCount64() + kGrantPatienceMs;
    DWORD error = acquire();
    while (error == ERROR_OPLOCK_NOT_GRANTED && ::GetTickCount64() < grantDeadline) {
        ::Sleep(50);
        error = acquire();
    }
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
        error == ERROR_ACCESS_DENIED) {
        PrintError(L"cannot open", path, error);
        return kBadArguments;
    }
    if (error != ERROR_SUCCESS) {
        PrintError(atomic ? L"atomic open refused on" : L"no oplock on", path, error, status);
        return kNoOplock;
    }
    // The filter oplock's holder reads data through a second handle, which breaks no filter
    // oplock (read access only) and, sharing everything, refuses no other open. Declared after
    // the oplock, it is closed first, as the holder of a filter oplock lets go.
    UniqueHandle reader(mode == L"filter" ? ::CreateFileW(path.c_str(), FILE_READ_DATA, kShareAll,
                                                          nullptr, OPEN_EXISTING, 0, nullptr)
                                          : nullptr);
    if (mode == L"filter" && !reader) {
        PrintError(L"cannot read", path, ::GetLastError());
        return kBadArguments;
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
    const std::wstring brokenMarker = std::wstring(argv[3]) + L".broken";
    const auto markFirstBreak = [&] {
        if (breaks == 1 &&
            !UniqueHandle(::CreateFileW(brokenMarker.c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr))) {
            PrintError(L"cannot create", brokenMarker, ::GetLastError());
        }
    };
    if (atomic) {
        // No oplock was asked for, so none can break: the handle is only held.
        ::Sleep(Remaining(deadline));
    }
    while (!atomic &&
           ::WaitForSingleObject(oplock.broken(), Remaining(deadline)) == WAIT_OBJECT_0) {
        ++breaks;
        if (!acknowledge) {
            // The attacker: the break stays unacknowledged and the handle open to the end.
            markFirstBreak();
            ::Sleep(Remaining(deadline));
            break;
        }
        // Let go first: the marker must not hold up the open that broke the oplock.
        oplock.Release();
        markFirstBreak();
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
