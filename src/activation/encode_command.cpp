// Base64 encoding through CryptoAPI.
#include "activation/encode_command.h"

#include <windows.h>
#include <wincrypt.h>

#include <limits>
#include <memory>
#include <type_traits>

namespace {

using CryptBinaryToStringWFunction = BOOL(WINAPI*)(const BYTE*, DWORD, DWORD, LPWSTR, DWORD*);

struct LibraryDeleter {
    void operator()(HMODULE module) const noexcept { ::FreeLibrary(module); }
};
using UniqueLibrary = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryDeleter>;

// crypt32 is not among the DLLs Windows always takes from System32, so it is
// not imported at load time, when the program's own folder is searched first.
[[nodiscard]] UniqueLibrary LoadCrypt32() noexcept {
    return UniqueLibrary(::LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

[[nodiscard]] CryptBinaryToStringWFunction FindCryptBinaryToStringW(HMODULE crypt32) noexcept {
    // Through void(*)(), the one function type every other may be cast from.
    return reinterpret_cast<CryptBinaryToStringWFunction>(
        reinterpret_cast<void (*)()>(::GetProcAddress(crypt32, "CryptBinaryToStringW")));
}

} // namespace

std::wstring EncodeCommandBase64(std::wstring_view script) {
    // wchar_t is one UTF-16 unit stored low byte first on every Windows target.
    static_assert(sizeof(wchar_t) == 2, "UTF-16 wide strings expected");
    if (script.size() > std::numeric_limits<DWORD>::max() / sizeof(wchar_t)) {
        return {};
    }
    const auto* bytes = reinterpret_cast<const BYTE*>(script.data());
    const auto byteCount = static_cast<DWORD>(script.size() * sizeof(wchar_t));
    constexpr DWORD kFlags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;

    const UniqueLibrary crypt32 = LoadCrypt32();
    const auto cryptBinaryToString = crypt32 ? FindCryptBinaryToStringW(crypt32.get()) : nullptr;
    if (cryptBinaryToString == nullptr) {
        return {};
    }
    DWORD size = 0;
    static_cast<void>(cryptBinaryToString(bytes, byteCount, kFlags, nullptr, &size));
    std::wstring encoded(size, L'\0');
    if (size == 0 || !cryptBinaryToString(bytes, byteCount, kFlags, encoded.data(), &size)) {
        return {};
    }
    encoded.resize(size);
    while (!encoded.empty() &&
           (encoded.back() == L'\0' || encoded.back() == L'\n' || encoded.back() == L'\r')) {
        encoded.pop_back();
    }
    return encoded;
}
