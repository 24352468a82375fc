// The run log: one timestamped line per event, shared by every run on the machine.
#pragma once

#include <string_view>

// Appends "[timestamp] message" and a line end. A line that cannot be written
// is lost without notice; the run goes on.
void WriteLogLine(std::wstring_view message) noexcept;
