// Timestamp and line formatting for the run log.
#include "runlog/log_line.h"

#include <windows.h>

#include <ctime>
#include <cwchar>
#include <iterator>

namespace {

// FILETIME counts 100 ns ticks from 1601-01-01; the C runtime counts seconds from 1970-01-01.
constexpr unsigned long long kTicksPerSecond = 10'000'000ULL;
constexpr unsigned long long kUnixEpochInTicks = 116'444'736'000'000'000ULL;

constexpr wchar_t kTimestampFormat[] = L"%Y-%m-%d %H:%M:%S";
// Keeps the line's shape when the clock lies outside what the C runtime can convert.
constexpr wchar_t kUnconvertibleTimestamp[] = L"0000-00-00 00:00:00";

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
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const auto seconds = static_cast<__time64_t>((ticks - kUnixEpochInTicks) / kTicksPerSecond);

    std::tm local{};
    // The C runtime's formatting: this program never leaves the "C" locale.
    wchar_t text[32] = {};
    if (ticks < kUnixEpochInTicks || _localtime64_s(&local, &seconds) != 0 ||
        std::wcsftime(text, std::size(text), kTimestampFormat, &local) == 0) {
        return kUnconvertibleTimestamp;
    }
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
