// Base64 encoding through CryptoAPI.
#include "activation/encode_command.h"

#include <windows.h>
#include <wincrypt.h>

#include <limits>

std::wstring EncodeCommandBase64(std::wstring_view script) {
    // wchar_t is one UTF-16 unit stored low byte first on every Windows target.
    static_assert(sizeof(wchar_t) == 2, "UTF-16 wide strings expected");
    if (script.size() > std::numeric_limits<DWORD>::max() / sizeof(wchar_t)) {
        return {};
    }
    const auto* bytes = reinterpret_cast<const BYTE*>(script.data());
    const auto byteCount = static_cast<DWORD>(script.size() * sizeof(wchar_t));
    constexpr DWORD kFlags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;

    DWORD size = 0;
    static_cast<void>(::CryptBinaryToStringW(bytes, byteCount, kFlags, nullptr, &size));
    std::wstring encoded(size, L'\0');
    if (size == 0 || !::CryptBinaryToStringW(bytes, byteCount, kFlags, encoded.data(), &size)) {
        return {};
    }
    encoded.resize(size);
    while (!encoded.empty() &&
           (encoded.back() == L'\0' || encoded.back() == L'\n' || encoded.back() == L'\r')) {
        encoded.pop_back();
    }
    return encoded;
}
