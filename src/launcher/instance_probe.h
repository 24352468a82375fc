// Looks for a running instance of the target app in the process list.
#pragma once

#include <string_view>

// True when the executable path holds the target app's publisher id, exactly
// as written (case-sensitive, anywhere in the path).
[[nodiscard]] bool ImagePathNamesTargetApp(std::wstring_view imagePath) noexcept;

// True when some running process, this one included, has an executable path
// that names the target app. Processes that cannot be queried are skipped;
// a process list that cannot be read gives false.
[[nodiscard]] bool IsTargetAppRunning() noexcept;
