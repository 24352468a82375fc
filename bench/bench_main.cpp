// Measures what the launcher costs beyond starting PowerShell, under Wine or
// Windows: whole runs against a floor program, the launcher's own phases,
// the probe against the size of the process list, and log appends.
#include "activation/activation_script.h"
#include "activation/encode_command.h"
#include "launcher/instance_probe.h"
#include "runlog/log_path.h"
#include "runlog/run_log.h"
#include "support/test_support.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <vector>

namespace {

using namespace test;

constexpr int kPairs = 40;
constexpr int kPhaseRepeats = 200;
constexpr int kProbeRepeats = 50;
constexpr int kAppendLines = 500;

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    static const double frequency = [] {
        LARGE_INTEGER f{};
        ::QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    return static_cast<double>(to.QuadPart - from.QuadPart) / frequency;
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    return now;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double Quantile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5)];
}

// Wall time of one program run, from process creation to its end.
double TimedRun(const std::wstring& program, DWORD& exitCode) {
    const LARGE_INTEGER start = Now();
    exitCode = RunToEnd(program, {});
    return Seconds(start, Now());
}

double MedianMicroseconds(const std::function<void()>& phase, int repeats) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const LARGE_INTEGER start = Now();
        phase();
        times.push_back(Seconds(start, Now()) * 1e6);
    }
    return Median(times);
}

void EndToEnd() {
    const std::wstring launcher = BinProgram(L"LaunchBrightloom.exe");
    const std::wstring floor = BinProgram(L"bench_floor.exe");

    // Both must hand PowerShell the same command line, or the floor is not one.
    const std::wstring record = MakeScratchFolder(L"bench") + L"\\record.txt";
    {
        const ScopedEnvironment recordTo(L"LB_PS_RECORD", record);
        DWORD code = 0;
        TimedRun(launcher, code);
        const auto fromLauncher = RecordValue(record, "command_line");
        TimedRun(floor, code);
        if (RecordValue(record, "command_line") != fromLauncher) {
            std::printf(
                "WARNING: the floor's PowerShell command line differs from the launcher's\n");
        }
    }

    std::vector<double> a, b, ratios;
    int failures = 0;
    for (int i = 0; i < kPairs; ++i) {
        DWORD codeA = 0, codeB = 0;
        a.push_back(TimedRun(launcher, codeA));
        b.push_back(TimedRun(floor, codeB));
        ratios.push_back(a.back() / b.back());
        failures += (codeA != 0) + (codeB != 0);
    }
    std::printf("1. End to end, %d A/B pairs (PowerShell stand-in exits at once)\n", kPairs);
    std::printf("   launcher (A) median   %8.1f ms\n", Median(a) * 1e3);
    std::printf("   floor    (B) median   %8.1f ms\n", Median(b) * 1e3);
    std::printf("   A/B ratio median      %8.3f   (p10 %.3f, p90 %.3f, min %.3f, max %.3f)\n",
                Median(ratios), Quantile(ratios, 0.1), Quantile(ratios, 0.9),
                *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()));
    std::printf("   goal: ratio median <= 1.10: %s%s\n\n",
                Median(ratios) <= 1.10 ? "met" : "MISSED", failures ? "  (some runs failed!)" : "");
}

void Phases() {
    std::printf("2. The launcher's own phases, in process, median of %d\n", kPhaseRepeats);
    std::printf("   log path resolution   %8.1f us\n",
                MedianMicroseconds([] { static_cast<void>(FindLogFilePath()); }, kPhaseRepeats));
    std::printf("   one log line          %8.1f us\n",
                MedianMicroseconds([] { WriteLogLine(L"benchmark line"); }, kPhaseRepeats));
    std::printf("   instance probe        %8.1f us\n",
                MedianMicroseconds([] { static_cast<void>(IsTargetAppRunning()); }, kPhaseRepeats));
    std::printf(
        "   script + encoding     %8.1f us\n\n",
        MedianMicroseconds([] { static_cast<void>(EncodeCommandBase64(BuildActivationScript())); },
                           kPhaseRepeats));
}

void ProbeScale() {
    constexpr int kStep = 50;
    std::vector<std::unique_ptr<RunningApps>> idle;
    std::printf("3. Probe against extra idle processes, median of %d\n", kProbeRepeats);
    double first = 0;
    for (const int extra : {0, kStep, 2 * kStep}) {
        while (static_cast<int>(idle.size()) * kStep < extra) {
            idle.push_back(
                std::make_unique<RunningApps>(L"idle" + std::to_wstring(idle.size()), kStep));
        }
        ::Sleep(500);
        const double us =
            MedianMicroseconds([] { static_cast<void>(IsTargetAppRunning()); }, kProbeRepeats);
        if (extra == 0) {
            first = us;
            std::printf("   +%3d processes        %8.1f us\n", extra, us);
        } else {
            std::printf("   +%3d processes        %8.1f us   (%.1f us per extra process)\n", extra,
                        us, (us - first) / extra);
        }
    }
    idle.clear();
    std::printf("\n");
}

void Appends() {
    std::printf("4. Log appends through WriteLogLine, %d lines per process\n", kAppendLines);
    for (const int writers : {1, 4}) {
        ResetLogFolders();
        const LARGE_INTEGER start = Now();
        std::vector<UniqueProcessInformation> running;
        for (int w = 0; w < writers; ++w) {
            running.push_back(
                Start(BinProgram(L"log_append_worker.exe"),
                      L"w" + std::to_wstring(w) + L" " + std::to_wstring(kAppendLines)));
        }
        for (const auto& writer : running) {
            ::WaitForSingleObject(writer.process(), INFINITE);
        }
        const double seconds = Seconds(start, Now());
        const std::vector<std::string> lines = MessagesOf(ProgramDataLogPath());
        const std::set<std::string> distinct(lines.begin(), lines.end());
        const bool intact = lines.size() == static_cast<size_t>(writers * kAppendLines) &&
                            distinct.size() == lines.size() &&
                            std::none_of(lines.begin(), lines.end(), [](const std::string& l) {
                                return l.rfind("<malformed>", 0) == 0;
                            });
        std::printf("   %d writer%s              %8.0f lines/s (process starts included), %s\n",
                    writers, writers == 1 ? " " : "s", static_cast<double>(lines.size()) / seconds,
                    intact ? "all lines intact" : "LINES LOST OR TORN");
    }
    ResetLogFolders();
}

} // namespace

int main() {
    ResetLogFolders();
    RemoveInstalledApp();
    // The stand-in exits at once with success, as a quick activation would.
    const ScopedEnvironment exitCode(L"LB_PS_EXIT_CODE", L"0");
    EndToEnd();
    Phases();
    ProbeScale();
    Appends();
    return 0;
}
