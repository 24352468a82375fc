// The form of one run-log line: a bracketed local timestamp, the message, CR LF.
#pragma once

#include <string>
#include <string_view>

// The current local time as "YYYY-MM-DD HH:MM:SS" (19 characters).
[[nodiscard]] std::wstring FormatTimestamp();

// The bytes of one line as stored in the log: every UTF-16 unit up to 0xFF
// becomes the byte of that value, a line feed becomes CR LF, and the line
// ends with CR LF.
[[nodiscard]] std::string FormatLogLine(std::wstring_view timestamp, std::wstring_view message);
