// PowerShell 7 puts its module folders in front of PSModulePath and takes them
// out only for a Windows PowerShell it starts itself. Handed on to Windows
// PowerShell, they make it autoload 7's Microsoft.PowerShell.Management for
// Start-Process, which it cannot load: the activation would always fail.
#include "activation/module_path.h"

#include <windows.h>

#include <cwctype>
#include <vector>

namespace {

constexpr wchar_t kModulePathVariable[] = L"PSModulePath";

[[nodiscard]] bool SameName(std::wstring_view a, std::wstring_view b) noexcept {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The folder names of an entry, last first; a trailing separator names nothing.
[[nodiscard]] std::vector<std::wstring_view> NamesLastFirst(std::wstring_view entry) {
    std::vector<std::wstring_view> names;
    while (!entry.empty() && names.size() < 3) {
        const size_t separator = entry.find_last_of(L"\\/");
        const std::wstring_view name =
            separator == std::wstring_view::npos ? entry : entry.substr(separator + 1);
        if (!name.empty()) {
            names.push_back(name);
        }
        entry =
            separator == std::wstring_view::npos ? std::wstring_view() : entry.substr(0, separator);
    }
    return names;
}

// ...\PowerShell\Modules (a user's or all users') or ...\PowerShell\7\Modules
// ($PSHOME, "7", "7-preview" and the like); never ...\WindowsPowerShell\...
[[nodiscard]] bool IsPowerShell7ModuleFolder(std::wstring_view entry) {
    const std::vector<std::wstring_view> names = NamesLastFirst(entry);
    if (names.size() < 2 || !SameName(names[0], L"Modules")) {
        return false;
    }
    if (SameName(names[1], L"PowerShell")) {
        return true;
    }
    return names.size() == 3 && std::iswdigit(names[1].front()) &&
           SameName(names[2], L"PowerShell");
}

} // namespace

std::wstring WithoutPowerShell7ModulePaths(std::wstring_view modulePath) {
    std::wstring kept;
    bool first = true;
    for (;;) {
        const size_t end = modulePath.find(L';');
        const std::wstring_view entry = modulePath.substr(0, end);
        if (!IsPowerShell7ModuleFolder(entry)) {
            if (!first) {
                kept += L';';
            }
            kept += entry;
            first = false;
        }
        if (end == std::wstring_view::npos) {
            return kept;
        }
        modulePath.remove_prefix(end + 1);
    }
}

void KeepPowerShell7ModulesFromWindowsPowerShell() noexcept {
    try {
        const DWORD size = ::GetEnvironmentVariableW(kModulePathVariable, nullptr, 0);
        if (size == 0) {
            return; // not set: Windows PowerShell builds its default
        }
        std::wstring modulePath(size, L'\0');
        const DWORD length =
            ::GetEnvironmentVariableW(kModulePathVariable, modulePath.data(), size);
        if (length >= size) {
            return;
        }
        modulePath.resize(length);
        const std::wstring mended = WithoutPowerShell7ModulePaths(modulePath);
        if (mended != modulePath) {
            ::SetEnvironmentVariableW(kModulePathVariable,
                                      mended.empty() ? nullptr : mended.c_str());
        }
    } catch (...) {
        // Out of memory for the list: it stays as it was.
    }
}
