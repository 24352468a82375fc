// Opening files and folders through NtCreateFile, never waiting on another program's oplock.
#pragma once

#include "common/unique_handle.h"

#include <winternl.h>

#include <string>
#include <string_view>
#include <utility>

// A success status to NT_SUCCESS, so it is checked by value: another
// program's oplock on what was opened is being broken, and anything done
// through the handle may wait until that program lets go.
constexpr NTSTATUS kOplockBreakInProgress = static_cast<NTSTATUS>(0x00000108L);

struct Opened {
    UniqueHandle handle;
    // What an open that met a break in progress got: never read or written
    // through, only held, since while it is open nobody can take an
    // exclusive oplock on the file again (an exclusive oplock is granted only
    // to the one open handle), so the next open meets none.
    UniqueHandle breaking;
    NTSTATUS status = 0;
    // This open made what it holds (FILE_CREATED), so it may remove it again.
    bool made = false;
    explicit operator bool() const noexcept { return handle.valid(); }
};

// Opens name inside the folder that parent holds, or the whole NT path name
// where parent is null, with the security given should it be made. Where
// another program holds an oplock on it, the open does not wait for that
// program to acknowledge the break: it comes back at once with
// kOplockBreakInProgress, and the handle in breaking. A named pipe's server
// at the name learns nothing of who opens it.
[[nodiscard]] Opened NtOpen(HANDLE parent, std::wstring_view name, ACCESS_MASK access, ULONG share,
                            ULONG disposition, ULONG options,
                            PSECURITY_DESCRIPTOR security = nullptr) noexcept;

// The NT name of a Win32 path, made absolute against the current directory
// the way CreateFileW makes it, a \\?\ path taken as it stands; empty when it
// cannot be.
[[nodiscard]] std::wstring NtPathOf(const std::wstring& path);

// How long one line may wait, all told, on another program: to open the log
// while an oplock on it is being broken, for the append lock, and for an
// append that an oplock holds up. A virus scanner's, an indexer's or a
// backup program's oplock goes at once; a user who never lets go costs the
// line, not the run.
[[nodiscard]] inline ULONGLONG DeadlineForOneLine() noexcept {
    constexpr ULONGLONG kPatienceMs = 5000;
    return ::GetTickCount64() + kPatienceMs;
}

// Opens again and again while a break is in progress, until the deadline.
template <typename Open>
[[nodiscard]] Opened OpenPatiently(ULONGLONG deadline, Open&& open) noexcept(noexcept(open())) {
    constexpr DWORD kRetryMs = 10;
    UniqueHandle breaking; // held until the next open has been made
    for (;;) {
        Opened opened = open();
        if (opened.status != kOplockBreakInProgress || ::GetTickCount64() >= deadline) {
            return opened;
        }
        breaking = std::move(opened.breaking);
        ::Sleep(kRetryMs);
    }
}
