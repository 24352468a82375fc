// Final paths through GetFinalPathNameByHandleW.
#include "runlog/final_path.h"

#include "common/unique_handle.h"

std::optional<std::wstring> FinalPathOf(HANDLE file) {
    constexpr DWORD kForm = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    std::wstring path(MAX_PATH, L'\0');
    DWORD length =
        ::GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), kForm);
    if (length >= path.size()) {
        // Too small: the call reported the size it needs, NUL included.
        path.assign(length, L'\0');
        length =
            ::GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), kForm);
    }
    if (length == 0 || length >= path.size()) {
        return std::nullopt;
    }
    path.resize(length);
    return path;
}

std::optional<std::wstring> FinalFolderPath(const std::wstring& folder) {
    // Backup semantics is what lets CreateFileW open a folder.
    const UniqueHandle handle(::CreateFileW(
        folder.c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS, nullptr));
    if (!handle) {
        return std::nullopt;
    }
    auto path = FinalPathOf(handle.get());
    if (path && !path->empty() && path->back() == L'\\') {
        path->pop_back(); // \\?\C:\ and \\?\UNC\server\share\ end in one
    }
    return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) noexcept {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}
