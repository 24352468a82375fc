// Base64 of a script's UTF-16LE bytes, as PowerShell's -EncodedCommand takes it.
#pragma once

#include <string>
#include <string_view>

// One line of standard Base64 with "=" padding; empty if encoding failed.
[[nodiscard]] std::wstring EncodeCommandBase64(std::wstring_view script);
