// NtCreateFile with FILE_COMPLETE_IF_OPLOCKED, which CreateFileW cannot ask for.
#include "runlog/nt_open.h"

#include <vector>

Opened NtOpen(HANDLE parent, std::wstring_view name, ACCESS_MASK access, ULONG share,
              ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR security) noexcept {
    UNICODE_STRING objectName{};
    objectName.Buffer = const_cast<PWSTR>(name.data());
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    SECURITY_QUALITY_OF_SERVICE anonymous{sizeof(anonymous), SecurityAnonymous,
                                          SECURITY_STATIC_TRACKING, FALSE};
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, parent, security);
    attributes.SecurityQualityOfService = &anonymous;
    IO_STATUS_BLOCK status{};
    HANDLE handle = nullptr;
    Opened opened;
    opened.status =
        ::NtCreateFile(&handle, access, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                       disposition, options | FILE_COMPLETE_IF_OPLOCKED, nullptr, 0);
    if (NT_SUCCESS(opened.status)) {
        opened.handle = UniqueHandle(handle);
        opened.made = status.Information == FILE_CREATED;
    }
    // An open refused for its sharing may still have started a break of a
    // batch or filter oplock, whose holder may then close and let it through.
    constexpr NTSTATUS kSharingViolation = static_cast<NTSTATUS>(0xC0000043L);
    constexpr ULONG_PTR kBatchBreakUnderway = 0x9; // FILE_OPBATCH_BREAK_UNDERWAY
    if (opened.status == kSharingViolation && status.Information == kBatchBreakUnderway) {
        opened.status = kOplockBreakInProgress;
    }
    if (opened.status == kOplockBreakInProgress) {
        // What is done through it may wait on the break; holding or closing it does not.
        opened.breaking = std::move(opened.handle);
        opened.made = false;
    }
    return opened;
}

std::wstring NtPathOf(const std::wstring& path) {
    // Such a path is not parsed further, by GetFullPathNameW either.
    if (path.rfind(L"\\\\?\\", 0) == 0) {
        return L"\\??\\" + path.substr(4);
    }
    std::vector<wchar_t> full(MAX_PATH);
    DWORD length =
        ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length =
            ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (length == 0 || length >= full.size()) {
        return {};
    }
    const std::wstring_view win32(full.data(), length);
    // \\.\ names the NT namespace already (a device such as CON); \\server\share is UNC.
    if (win32.rfind(L"\\\\.\\", 0) == 0) {
        return L"\\??\\" + std::wstring(win32.substr(4));
    }
    if (win32.rfind(L"\\\\", 0) == 0) {
        return L"\\??\\UNC\\" + std::wstring(win32.substr(2));
    }
    return L"\\??\\" + std::wstring(win32);
}
