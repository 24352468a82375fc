// Writing one line to the run log.
#include "runlog/run_log.h"

#include "runlog/log_file.h"
#include "runlog/log_line.h"
#include "runlog/log_path.h"
#include "runlog/log_place.h"

void WriteLogLine(std::wstring_view message) noexcept {
    try {
        const UniqueHandle file = OpenLogFileForAppend(ResolveLogFilePath());
        if (!file) {
            return;
        }
        static_cast<void>(AppendToLogFile(file.get(), FormatLogLine(FormatTimestamp(), message)));
    } catch (...) {
        // Out of memory while building the line: the line is lost, the run goes on.
    }
}
