// The instance probe and whole runs of LaunchBrightloom.exe, as automation sees them.
#include "launcher/instance_probe.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <shlobj.h>

namespace {

using namespace test;

TEST(ImagePathNamesTargetApp, MatchesThePublisherIdAnywhereAndCaseSensitively) {
    const struct {
        std::wstring_view path;
        bool matches;
    } cases[] = {
        {L"C:\\Program Files\\WindowsApps\\VelmoraSoftworksLimited.VelmoraBrightloom_1.0.0.0_x64__"
         L"q4rk7vbn2xs9e\\Brightloom.exe",
         true},
        {L"C:\\tools\\q4rk7vbn2xs9e.exe", true},
        {L"C:\\Program Files\\WindowsApps\\Velmora_1.0_x64__Q4RK7VBN2XS9E\\Brightloom.exe", false},
        {L"C:\\Program Files\\WindowsApps\\Velmora_1.0_x64__q4rk7vbn2xs9\\Brightloom.exe", false},
        {L"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ImagePathNamesTargetApp(c.path), c.matches) << Narrow(c.path);
    }
}

TEST(IsTargetAppRunning, FindsAProcessWhosePathHoldsThePublisherId) {
    EXPECT_FALSE(IsTargetAppRunning());
    {
        const RunningApps other(L"Velmora_1.0_x64__Q4RK7VBN2XS9E", 1);
        EXPECT_FALSE(IsTargetAppRunning());
    }
    {
        const RunningApps app(L"VelmoraSoftworksLimited.VelmoraBrightloom_1.0_x64__q4rk7vbn2xs9e",
                              1);
        EXPECT_TRUE(IsTargetAppRunning());
    }
    EXPECT_FALSE(IsTargetAppRunning());
}

// Whole runs of the real executable against the PowerShell stand-in.
class LauncherRun : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLogFolders();
        RemoveInstalledApp();
        scratch_ = MakeScratchFolder(L"launcher");
    }
    void TearDown() override {
        EndProcessesUnder(InstalledAppFolder());
        ResetLogFolders();
        RemoveTree(scratch_);
    }

    DWORD RunLauncher(const std::wstring& arguments = {},
                      const std::wstring& program = BinProgram(L"LaunchBrightloom.exe")) {
        return RunToEnd(program, arguments, scratch_);
    }
    std::vector<std::string> Logged() const { return MessagesOf(ProgramDataLogPath()); }

    std::wstring scratch_;
};

TEST_F(LauncherRun, ASuccessfulRunLogsFiveLinesAndExitsZero) {
    const ScopedEnvironment exitCode(L"LB_PS_EXIT_CODE", L"0");
    EXPECT_EQ(RunLauncher(), 0u);
    EXPECT_EQ(Logged(), SuccessfulRun());
}

TEST_F(LauncherRun, AFailedActivationLogsTheErrorAndExitsOne) {
    const ScopedEnvironment exitCode(L"LB_PS_EXIT_CODE", L"1");
    EXPECT_EQ(RunLauncher(), 1u);
    EXPECT_EQ(Logged(), FailedRun("App launch failed with PowerShell exit code 1"));
}

TEST_F(LauncherRun, AMissingPowerShellIsAFailedRun) {
    const std::wstring aside = SystemPowerShell() + L".aside";
    ASSERT_TRUE(::MoveFileW(SystemPowerShell().c_str(), aside.c_str()));
    const DWORD exitCode = RunLauncher();
    ASSERT_TRUE(::MoveFileW(aside.c_str(), SystemPowerShell().c_str()));
    EXPECT_EQ(exitCode, 1u);
    const std::vector<std::string> logged = Logged();
    ASSERT_EQ(logged.size(), 5u);
    EXPECT_EQ(logged[3], "LaunchApp failed: Failed to start PowerShell process.");
    EXPECT_EQ(logged[4], "=== LaunchBrightloom finished with exit code 1 ===");
}

TEST_F(LauncherRun, ArgumentsChangeNothing) {
    const ScopedEnvironment exitCode(L"LB_PS_EXIT_CODE", L"0");
    EXPECT_EQ(RunLauncher(L"--fail /x 1 \"two words\""), 0u);
    EXPECT_EQ(Logged(), SuccessfulRun());
}

TEST_F(LauncherRun, ARunningAppIsReportedAndStillActivated) {
    const ScopedEnvironment exitCode(L"LB_PS_EXIT_CODE", L"0");
    const ScopedEnvironment record(L"LB_PS_RECORD", scratch_ + L"\\record.txt");
    const RunningApps app(L"VelmoraSoftworksLimited.VelmoraBrightloom_1.0_x64__q4rk7vbn2xs9e", 1);
    EXPECT_EQ(RunLauncher(), 0u);
    std::vector<std::string> expected = SuccessfulRun();
    expected[1] = "App is ALREADY RUNNING before LaunchApp";
    EXPECT_EQ(Logged(), expected);
    EXPECT_EQ(RecordValue(scratch_ + L"\\record.txt", "decoded"), "yes");
}

TEST_F(LauncherRun, ALauncherWhosePathHoldsTheIdFindsItself) {
    const std::wstring folder = scratch_ + L"\\tools_q4rk7vbn2xs9e";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    CopyInto(BinProgram(L"LaunchBrightloom.exe"), folder + L"\\LaunchBrightloom.exe");
    const ScopedEnvironment exitCode(L"LB_PS_EXIT_CODE", L"0");
    EXPECT_EQ(RunLauncher({}, folder + L"\\LaunchBrightloom.exe"), 0u);
    const std::vector<std::string> logged = Logged();
    ASSERT_EQ(logged.size(), 5u);
    EXPECT_EQ(logged[1], "App is ALREADY RUNNING before LaunchApp");
}

TEST_F(LauncherRun, ActivatingAnInstalledAppMakesTheNextRunSeeIt) {
    // Without a chosen exit code the stand-in acts out Start-Process: it starts
    // the first program of the installed package folder.
    ASSERT_NO_FATAL_FAILURE(InstallApp());
    const ScopedEnvironment lifetime(L"LB_APP_LIFETIME_MS", L"30000");
    // Each app started is ended only once it runs, so that no Wine helper stays behind.
    const std::wstring ready = scratch_ + L"\\app-ready";
    const ScopedEnvironment readyFile(L"LB_APP_READY_FILE", ready);

    const DWORD first = RunLauncher();
    if (first == 0u) {
        WaitForFile(ready);
        ::DeleteFileW(ready.c_str());
    }
    const DWORD second = RunLauncher();
    if (second == 0u) {
        WaitForFile(ready);
    }
    RemoveInstalledApp();

    EXPECT_EQ(first, 0u);
    EXPECT_EQ(second, 0u);
    std::vector<std::string> expected = SuccessfulRun();
    for (const std::string& line : SuccessfulRun()) {
        expected.push_back(line);
    }
    expected[6] = "App is ALREADY RUNNING before LaunchApp";
    EXPECT_EQ(Logged(), expected);
}

// Windows looks for a DLL that is not one of its KnownDLLs in the program's
// folder first. Wine prefers its own DLLs unless told, per program, to use
// that order; this tells it for LaunchBrightloom.exe while it lives.
class NativeDllsFirst {
public:
    explicit NativeDllsFirst(std::initializer_list<const wchar_t*> dlls) {
        for (const wchar_t* dll : dlls) {
            EXPECT_EQ(
                ::RegSetKeyValueW(HKEY_CURRENT_USER, kKey, dll, REG_SZ, kOrder, sizeof(kOrder)),
                ERROR_SUCCESS);
        }
    }
    ~NativeDllsFirst() { ::RegDeleteTreeW(HKEY_CURRENT_USER, kKey); }
    NativeDllsFirst(const NativeDllsFirst&) = delete;
    NativeDllsFirst& operator=(const NativeDllsFirst&) = delete;

private:
    static constexpr wchar_t kKey[] =
        L"Software\\Wine\\AppDefaults\\LaunchBrightloom.exe\\DllOverrides";
    static constexpr wchar_t kOrder[] = L"native,builtin";
};

TEST_F(LauncherRun, RunsNoDllPlantedBesideItOrInTheCurrentFolder) {
    // crypt32 is loaded by the launcher after start, bcrypt by crypt32.
    const NativeDllsFirst order({L"crypt32", L"bcrypt"});
    const ScopedEnvironment marks(L"LB_PLANTED_MARKS", scratch_);
    const ScopedEnvironment exitCode(L"LB_PS_EXIT_CODE", L"0");
    const std::wstring folder = scratch_ + L"\\app";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    CopyInto(BinProgram(L"LaunchBrightloom.exe"), folder + L"\\LaunchBrightloom.exe");
    for (const wchar_t* dll : {L"\\crypt32.dll", L"\\bcrypt.dll"}) {
        CopyInto(BinProgram(L"planted.dll"), folder + dll);
        CopyInto(BinProgram(L"planted.dll"), scratch_ + dll);
    }

    EXPECT_EQ(RunLauncher({}, folder + L"\\LaunchBrightloom.exe"), 0u);
    EXPECT_EQ(Logged(), SuccessfulRun());
    EXPECT_FALSE(Exists(scratch_ + L"\\crypt32.dll.ran"));
    EXPECT_FALSE(Exists(scratch_ + L"\\bcrypt.dll.ran"));
}

TEST_F(LauncherRun, TimestampsAreTheMachinesLocalTimeWhateverTZSays) {
    // A zone 13 hours from most: a stamp that followed it would stand out.
    const ScopedEnvironment zone(L"TZ", L"XYZ-13");
    const ScopedEnvironment exitCode(L"LB_PS_EXIT_CODE", L"0");
    const std::string before = LocalTimeNow();
    EXPECT_EQ(RunLauncher(), 0u);
    const std::string after = LocalTimeNow();
    const auto lines = SplitLines(ReadBytes(ProgramDataLogPath()).value_or(""));
    ASSERT_EQ(lines.size(), 5u);
    for (const std::string& line : lines) {
        const std::string stamp = line.substr(1, 19);
        EXPECT_TRUE(before <= stamp && stamp <= after)
            << stamp << " not in " << before << " .. " << after;
    }
}

TEST_F(LauncherRun, EndsAndKeepsPowerShellOffAPipeOnItsStandardInput) {
    // A caller's pipe that is never closed, as a CI step with redirected input leaves it.
    const Pipe input = PipeInheritableAt(true);
    ASSERT_TRUE(input.reader && input.writer);

    const std::wstring record = scratch_ + L"\\record.txt";
    const ScopedEnvironment recordTo(L"LB_PS_RECORD", record);
    const ScopedEnvironment exitCode(L"LB_PS_EXIT_CODE", L"0");
    const std::wstring program = BinProgram(L"LaunchBrightloom.exe");
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.reader.get();
    UniqueProcessInformation launcher;
    ASSERT_TRUE(::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                 nullptr, scratch_.c_str(), &startup, launcher.put()));

    EXPECT_EQ(WaitForExit(launcher), 0u);
    EXPECT_EQ(Logged(), SuccessfulRun());
    EXPECT_NE(RecordValue(record, "stdin_type"), std::to_string(FILE_TYPE_PIPE));
}

TEST_F(LauncherRun, StartedFromPowerShell7HandsPowerShellNoneOf7sModuleFolders) {
    // As pwsh from an MSI, from the Store and as a .NET tool leaves it.
    const ScopedEnvironment modulePath(
        L"PSModulePath",
        L"C:\\Users\\me\\Documents\\PowerShell\\Modules;C:\\Program Files\\PowerShell\\7\\Modules;"
        L"C:\\Program Files\\WindowsApps\\Microsoft.PowerShell_7.6.0.0_x64__8wekyb3d8bbwe\\Modules;"
        L"C:\\Users\\me\\.dotnet\\tools\\.store\\powershell\\7.6.0\\powershell\\7.6.0\\tools\\"
        L"net9.0\\any\\win\\Modules;C:\\windows\\system32\\WindowsPowerShell\\v1.0\\Modules");
    const ScopedEnvironment recordTo(L"LB_PS_RECORD", scratch_ + L"\\record.txt");
    const ScopedEnvironment other(L"LB_OTHER", L"kept");
    const ScopedEnvironment exitCode(L"LB_PS_EXIT_CODE", L"0");
    EXPECT_EQ(RunLauncher(), 0u);
    // Windows PowerShell builds its own list; every other variable reaches it.
    EXPECT_EQ(RecordValue(scratch_ + L"\\record.txt", "psmodulepath"), "(unset)");
    EXPECT_EQ(RecordValue(scratch_ + L"\\record.txt", "lb_other"), "kept");
}

TEST_F(LauncherRun, LogsInTheMachineWideFolderWhateverTheCaseOfItsName) {
    // As an installer or an administrator may have made it; Windows names are
    // not case-sensitive, and neither is where the log must really lie.
    const std::wstring folder = ShellFolder(CSIDL_COMMON_APPDATA) + L"\\VELMORA\\BrightLoom";
    ASSERT_TRUE(::CreateDirectoryW(folder.substr(0, folder.rfind(L'\\')).c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const ScopedEnvironment exitCode(L"LB_PS_EXIT_CODE", L"0");
    EXPECT_EQ(RunLauncher(), 0u);
    EXPECT_EQ(MessagesOf(folder + L"\\bright_loom_launcher_logs.txt"), SuccessfulRun());
}

TEST_F(LauncherRun, AnUninstalledAppFailsWithExitCodeOne) {
    EXPECT_EQ(RunLauncher(), 1u);
    const std::vector<std::string> logged = Logged();
    ASSERT_EQ(logged.size(), 5u);
    EXPECT_EQ(logged[3], "LaunchApp failed: App launch failed with PowerShell exit code 1");
}

} // namespace
