// The launch sequence and its log lines.
#include "launcher/launch_sequence.h"

#include "activation/launch_app.h"
#include "launcher/instance_probe.h"
#include "runlog/run_log.h"

#include <string>

namespace {

constexpr std::wstring_view kStarted = L"=== LaunchBrightloom started ===";
constexpr std::wstring_view kAlreadyRunning = L"App is ALREADY RUNNING before LaunchApp";
constexpr std::wstring_view kNotRunning = L"App is NOT running before LaunchApp";
constexpr std::wstring_view kCallingLaunchApp = L"Calling LaunchApp...";
constexpr std::wstring_view kSucceeded = L"LaunchApp succeeded";
constexpr std::wstring_view kFailedHead = L"LaunchApp failed: ";
constexpr std::wstring_view kFinishedHead = L"=== LaunchBrightloom finished with exit code ";
constexpr std::wstring_view kFinishedTail = L" ===";

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

} // namespace

int RunLaunchSequence() noexcept {
    WriteLogLine(kStarted);
    // The verdict is only reported: activating a running app is still wanted.
    WriteLogLine(IsTargetAppRunning() ? kAlreadyRunning : kNotRunning);
    WriteLogLine(kCallingLaunchApp);

    int exitCode = kExitFailure;
    try {
        const LaunchResult result = LaunchApp();
        exitCode = result.ok ? kExitSuccess : kExitFailure;
        if (result.ok) {
            WriteLogLine(kSucceeded);
        } else {
            WriteLogLine(std::wstring(kFailedHead).append(result.error));
        }
        WriteLogLine(
            std::wstring(kFinishedHead).append(std::to_wstring(exitCode)).append(kFinishedTail));
    } catch (...) {
        // Only memory exhaustion gets here; the exit code still tells the caller.
    }
    return exitCode;
}
