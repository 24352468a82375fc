// Writing one line to the run log.
#include "runlog/run_log.h"

#include "runlog/log_file.h"
#include "runlog/log_line.h"
#include "runlog/log_path.h"
#include "runlog/log_place.h"
#include "runlog/nt_open.h"

void WriteLogLine(std::wstring_view message) noexcept {
    try {
        // The place is found before the line's own patience starts.
        const LogPlace place = ResolveLogFilePath();
        const ULONGLONG deadline = DeadlineForOneLine();
        const UniqueHandle file = OpenLogFileForAppend(place, deadline);
        if (!file) {
            return;
        }
        static_cast<void>(
            AppendToLogFile(file.get(), FormatLogLine(FormatTimestamp(), message), deadline));
    } catch (...) {
        // Out of memory while building the line: the line is lost, the run goes on.
    }
}
