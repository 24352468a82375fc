// Timestamp and line formatting for the run log.
#include "runlog/log_line.h"

#include <windows.h>

#include <cwchar>
#include <iterator>

namespace {

constexpr std::wstring_view kLineHead = L"[";
constexpr std::wstring_view kAfterTimestamp = L"] ";
constexpr char kLineEnd[] = "\r\n";
// Stands for a UTF-16 unit that has no one-byte form; the system never logs one.
constexpr char kUnrepresentable = '?';

void AppendNarrowed(std::string& out, std::wstring_view text) {
    for (const wchar_t unit : text) {
        if (unit == L'\n') {
            out += kLineEnd;
        } else if (static_cast<unsigned>(unit) <= 0xFF) {
            out += static_cast<char>(static_cast<unsigned char>(unit));
        } else {
            out += kUnrepresentable;
        }
    }
}

} // namespace

std::wstring FormatTimestamp() {
    // The system's own time zone and daylight-saving rules. The C runtime's
    // localtime would follow a TZ variable that some shells and CI agents set,
    // often to a name it cannot read, and then give UTC or a shifted time.
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    wchar_t text[32] = {};
    std::swprintf(text, std::size(text), L"%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond);
    return text;
}

std::string FormatLogLine(std::wstring_view timestamp, std::wstring_view message) {
    std::string line;
    line.reserve(kLineHead.size() + timestamp.size() + kAfterTimestamp.size() + message.size() + 2);
    AppendNarrowed(line, kLineHead);
    AppendNarrowed(line, timestamp);
    AppendNarrowed(line, kAfterTimestamp);
    AppendNarrowed(line, message);
    line += kLineEnd;
    return line;
}
