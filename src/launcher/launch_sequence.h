// One run of the launcher, from the start line to the exit code.
#pragma once

// Logs the run, probes for a running instance, activates the target app and
// returns the process exit code: 0 on success, 1 on failure.
[[nodiscard]] int RunLaunchSequence() noexcept;
