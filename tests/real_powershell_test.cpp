// Real PowerShell 7 under Wine: the launcher's own child, and a caller that waits for the launcher.
#include "activation/activation_script.h"
#include "activation/encode_command.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <shlobj.h>

namespace {

using namespace test;

constexpr char kAppShellPath[] =
    "shell:AppsFolder\\VelmoraSoftworksLimited.VelmoraBrightloom_q4rk7vbn2xs9e!App";
constexpr wchar_t kTranscription[] =
    L"SOFTWARE\\Policies\\Microsoft\\PowerShellCore\\Transcription";

// Put before the launcher's script, a function takes the place of the cmdlet
// of the same name. This one accepts only the launcher's path and arguments, and says so.
constexpr wchar_t kStartProcessBindingExactly[] =
    L"function Start-Process { [CmdletBinding()] param([Parameter(Position = 0)] [string] "
    L"$FilePath, [string[]] $ArgumentList) if ($PSBoundParameters.Count -ne 2 -or $FilePath -cne "
    L"'shell:AppsFolder\\VelmoraSoftworksLimited.VelmoraBrightloom_q4rk7vbn2xs9e!App' -or "
    L"$ArgumentList.Count -ne 1 -or $ArgumentList[0] -cne 'launch=headless-mode;source=test') { "
    L"throw \"bound otherwise: $FilePath, $ArgumentList\" } \"bound $FilePath $ArgumentList\" }\n";
constexpr wchar_t kStartProcessFailing[] = L"function Start-Process { throw 'refused' }\n";

// ...\System32\WindowsPowerShell\<name>
std::wstring PowerShellFolder(const wchar_t* name) {
    return ShellFolder(CSIDL_SYSTEM) + L"\\WindowsPowerShell\\" + name;
}

// The prefix's set-up puts the engine in WindowsPowerShell\engine, beside the
// stand-in's v1.0; this swaps the two folders' names.
void SwapEngineAndStandIn() {
    for (const auto& [from, to] :
         {std::pair{L"v1.0", L"swap"}, {L"engine", L"v1.0"}, {L"swap", L"engine"}}) {
        EXPECT_TRUE(::MoveFileW(PowerShellFolder(from).c_str(), PowerShellFolder(to).c_str()))
            << Narrow(from) << ": " << ::GetLastError();
    }
}

struct EngineAsSystemPowerShell {
    EngineAsSystemPowerShell() { SwapEngineAndStandIn(); }
    ~EngineAsSystemPowerShell() { SwapEngineAndStandIn(); }
};

class RealPowerShell : public ::testing::Test {
protected:
    void SetUp() override {
        // What a test cut short at its time limit may have left behind.
        if (Exists(PowerShellFolder(L"v1.0\\powershell.dll"))) {
            SwapEngineAndStandIn();
        }
        EndProcessesUnder(PowerShellFolder(L"v1.0"));
        EndProcessesUnder(PowerShellFolder(L"engine"));
        RemoveInstalledApp();
        ResetLogFolders();
        scratch_ = MakeScratchFolder(L"real-powershell");
        // PowerShell 7's transcription policy: every session leaves its own account here.
        const DWORD on = 1;
        const std::wstring folder = scratch_ + L"\\transcripts";
        ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kTranscription, L"EnableTranscripting",
                                    REG_DWORD, &on, sizeof(on)),
                  ERROR_SUCCESS);
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kTranscription, L"OutputDirectory", REG_SZ,
                          folder.c_str(), static_cast<DWORD>((folder.size() + 1) * 2));
    }
    void TearDown() override {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTranscription);
        ResetLogFolders();
        RemoveTree(scratch_);
    }

    // Starts the engine hidden, as the launcher starts PowerShell, with the
    // launcher's command line around this encoding, and returns its exit code.
    DWORD RunEngine(std::wstring_view encoded, const std::wstring& engine = SystemPowerShell()) {
        SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
        const UniqueHandle errors(::CreateFileW(ErrorsPath().c_str(), GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                                CREATE_ALWAYS, 0, nullptr));
        STARTUPINFOW startup{sizeof(startup)};
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdError = errors.get();
        std::wstring commandLine = BuildPowerShellCommandLine(encoded);
        UniqueProcessInformation child;
        EXPECT_TRUE(::CreateProcessW(engine.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                     CREATE_NO_WINDOW, nullptr, scratch_.c_str(), &startup,
                                     child.put()));
        return WaitForExit(child);
    }
    std::wstring ErrorsPath() const { return scratch_ + L"\\errors.txt"; }
    std::string Errors() const { return ReadBytes(ErrorsPath()).value_or(""); }

    // The transcripts of the sessions since the last call, which this takes
    // away, as one text; there should be this many.
    std::string TakeTranscripts(size_t expected) {
        std::string transcripts;
        size_t count = 0;
        WIN32_FIND_DATAW day{}, file{};
        const std::wstring folder = scratch_ + L"\\transcripts\\"; // and a folder for each day
        const HANDLE days = ::FindFirstFileW((folder + L"2*").c_str(), &day);
        for (BOOL d = days != INVALID_HANDLE_VALUE; d; d = ::FindNextFileW(days, &day)) {
            const std::wstring dayFolder = folder + day.cFileName + L"\\";
            const HANDLE files = ::FindFirstFileW((dayFolder + L"*.txt").c_str(), &file);
            for (BOOL f = files != INVALID_HANDLE_VALUE; f; f = ::FindNextFileW(files, &file)) {
                transcripts += ReadBytes(dayFolder + file.cFileName).value_or("");
                ++count;
            }
            ::FindClose(files);
        }
        ::FindClose(days);
        RemoveTree(folder);
        EXPECT_EQ(count, expected) << transcripts;
        return transcripts;
    }

    // What .NET needs under Wine comes from wine-run --dotnet.
    const ScopedEnvironment noTelemetry_{L"POWERSHELL_TELEMETRY_OPTOUT", L"1"};
    std::wstring scratch_;
};

bool Holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(RealPowerShell, FailsALauncherRunOnAMachineWithoutTheApp) {
    const EngineAsSystemPowerShell engine;
    EXPECT_EQ(RunToEnd(BinProgram(L"LaunchBrightloom.exe"), {}, scratch_), 1u);
    EXPECT_EQ(MessagesOf(ProgramDataLogPath()),
              FailedRun("App launch failed with PowerShell exit code 1"));
    // The engine's own account: the arguments it was given, the script it
    // decoded from them, and the cmdlet that stopped it.
    const std::string transcript = TakeTranscripts(1);
    EXPECT_TRUE(Holds(transcript, " -NoProfile -NonInteractive -EncodedCommand " +
                                      Narrow(EncodeCommandBase64(BuildActivationScript())) +
                                      "\r\n"))
        << transcript;
    EXPECT_TRUE(Holds(transcript, "\r\nPS>" + Narrow(BuildActivationScript()) + "\r\n"));
    EXPECT_TRUE(Holds(transcript, std::string("TerminatingError(Start-Process): \"This command "
                                              "cannot be run due to the error: An error occurred "
                                              "trying to start process '") +
                                      kAppShellPath + "'"));
}

TEST_F(RealPowerShell, BindsTheAppPathAndArgumentsAndExitsOneWhenStartProcessFails) {
    const EngineAsSystemPowerShell engine;
    const std::wstring script = BuildActivationScript();
    EXPECT_EQ(RunEngine(EncodeCommandBase64(kStartProcessBindingExactly + script)), 0u) << Errors();
    std::string transcript = TakeTranscripts(1);
    // What only the engine's binding and expansion could have made of the shadow's last line.
    EXPECT_TRUE(Holds(transcript, std::string("\r\nbound ") + kAppShellPath +
                                      " launch=headless-mode;source=test\r\n"))
        << transcript;
    // Write-Error stops the catch block before its exit 1; PowerShell still exits 1.
    EXPECT_EQ(RunEngine(EncodeCommandBase64(kStartProcessFailing + script)), 1u);
    transcript = TakeTranscripts(1);
    EXPECT_TRUE(Holds(transcript, "\r\n>> TerminatingError(): \"refused\"\r\n")) << transcript;
}

TEST_F(RealPowerShell, EndsWith64OnAnEmptyOrCutEncoding) {
    const EngineAsSystemPowerShell engine;
    const std::wstring encoded = EncodeCommandBase64(BuildActivationScript());
    // PowerShell 7's code for a command line it cannot use, and its own words for why.
    EXPECT_EQ(RunEngine(L""), 64u);
    EXPECT_TRUE(Holds(Errors(), "A command must follow -Command.")) << Errors();
    EXPECT_EQ(RunEngine(std::wstring_view(encoded).substr(0, encoded.size() - 1)), 64u);
    EXPECT_TRUE(Holds(Errors(), "-EncodedCommand is not properly encoded.")) << Errors();
}

// The README's advice to callers, taken by the engine itself.
TEST_F(RealPowerShell, StartProcessWaitPassThruGetsTheLaunchersExitCode) {
    const std::wstring waiting =
        L"$p = Start-Process -FilePath '" + BinProgram(L"LaunchBrightloom.exe") +
        L"' -Wait -PassThru; \"launcher: $($p.ExitCode)\"; exit $p.ExitCode";
    {
        const EngineAsSystemPowerShell engine;
        EXPECT_EQ(RunEngine(EncodeCommandBase64(waiting)), 1u) << Errors();
    }
    EXPECT_EQ(MessagesOf(ProgramDataLogPath()),
              FailedRun("App launch failed with PowerShell exit code 1"));
    // The caller's transcript and its launcher's child's.
    EXPECT_TRUE(Holds(TakeTranscripts(2), "\r\nlauncher: 1\r\n"));

    // With the stand-in as the launcher's child, the installed app starts.
    ResetLogFolders();
    ASSERT_NO_FATAL_FAILURE(InstallApp());
    const ScopedEnvironment readyFile(L"LB_APP_READY_FILE", scratch_ + L"\\app-ready");
    // -Wait waits for the launcher's descendants too, which under Wine the app is.
    const ScopedEnvironment lifetime(L"LB_APP_LIFETIME_MS", L"500");
    EXPECT_EQ(RunEngine(EncodeCommandBase64(waiting), PowerShellFolder(L"engine\\powershell.exe")),
              0u)
        << Errors();
    EXPECT_TRUE(Exists(scratch_ + L"\\app-ready"));
    RemoveInstalledApp();
    EXPECT_EQ(MessagesOf(ProgramDataLogPath()), SuccessfulRun());
    EXPECT_TRUE(Holds(TakeTranscripts(1), "\r\nlauncher: 0\r\n"));
}

TEST_F(RealPowerShell, CallOperatorNeitherWaitsNorSetsLastExitCode) {
    // A stand-in that takes 3 s keeps the launcher running well past the engine's next line.
    const ScopedEnvironment slow(L"LB_PS_SLEEP_MS", L"3000");
    const ScopedEnvironment succeed(L"LB_PS_EXIT_CODE", L"0");
    const std::wstring log = ProgramDataLogPath();
    // A code left before stays: the variable is not merely left unset. (A native
    // command cannot leave it here: the host lacks the Out-String its output needs.)
    const std::wstring script = L"$global:LASTEXITCODE = 7; & '" +
                                BinProgram(L"LaunchBrightloom.exe") +
                                L"'; $ended = [bool]((Get-Content -Raw -LiteralPath '" + log +
                                L"' -ErrorAction Ignore) -match 'finished'); "
                                L"\"after &: [$LASTEXITCODE] ended=$ended\"";
    EXPECT_EQ(RunEngine(EncodeCommandBase64(script), PowerShellFolder(L"engine\\powershell.exe")),
              0u)
        << Errors();
    const std::string transcript = TakeTranscripts(1);
    EXPECT_TRUE(Holds(transcript, "\r\nafter &: [7] ended=False\r\n")) << transcript;
    // The launcher runs on to its end by itself.
    while (MessagesOf(log).size() < 5) {
        ::Sleep(50);
    }
    EXPECT_EQ(MessagesOf(log), SuccessfulRun());
}

} // namespace
