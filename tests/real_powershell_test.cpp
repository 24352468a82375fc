// Real PowerShell, behind the stand-in through the relay, runs the launcher's own command.
#include "activation/activation_script.h"
#include "activation/encode_command.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace test;

constexpr char kAppShellPath[] =
    "shell:AppsFolder\\VelmoraSoftworksLimited.VelmoraBrightloom_q4rk7vbn2xs9e!App";

// Put before the launcher's script, a function takes the place of the cmdlet
// of the same name. This one accepts only the launcher's path and arguments.
constexpr wchar_t kStartProcessBindingExactly[] =
    L"function Start-Process { [CmdletBinding()] param([Parameter(Position = 0)] [string] "
    L"$FilePath, [string[]] $ArgumentList) if ($PSBoundParameters.Count -ne 2 -or $FilePath -cne "
    L"'shell:AppsFolder\\VelmoraSoftworksLimited.VelmoraBrightloom_q4rk7vbn2xs9e!App' -or "
    L"$ArgumentList.Count -ne 1 -or $ArgumentList[0] -cne 'launch=headless-mode;source=test') { "
    L"throw \"bound otherwise: $FilePath, $ArgumentList\" } }\n";
constexpr wchar_t kStartProcessFailing[] = L"function Start-Process { throw 'refused' }\n";

std::string Journal() {
    wchar_t relay[MAX_PATH] = {};
    ::GetEnvironmentVariableW(L"LB_PS_RELAY", relay, MAX_PATH);
    return ReadBytes(std::wstring(relay) + L"\\journal").value_or("");
}

// Starts PowerShell as the launcher does, with this encoded command, and
// checks that real PowerShell, not the stand-in, gave the exit code.
DWORD RunPowerShell(std::wstring_view encoded) {
    const size_t journalBefore = Journal().size();
    std::wstring commandLine = BuildPowerShellCommandLine(encoded);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    UniqueProcessInformation child;
    EXPECT_TRUE(::CreateProcessW(SystemPowerShell().c_str(), commandLine.data(), nullptr, nullptr,
                                 FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, child.put()));
    const DWORD code = WaitForExit(child);
    EXPECT_EQ(Journal().substr(journalBefore).rfind("exit=" + std::to_string(code) + " ", 0), 0u)
        << "no answer from real PowerShell";
    return code;
}

TEST(RealPowerShell, FailsALauncherRunOnAMachineWithoutTheApp) {
    ResetLogFolders();
    const std::wstring scratch = MakeScratchFolder(L"real-powershell");
    const size_t journalBefore = Journal().size();
    EXPECT_EQ(RunToEnd(BinProgram(L"LaunchBrightloom.exe"), {}, scratch), 1u);
    EXPECT_EQ(MessagesOf(ProgramDataLogPath()),
              FailedRun("App launch failed with PowerShell exit code 1"));
    // Exactly the launcher's arguments, and a script that got as far as Start-Process.
    const std::string journal = Journal().substr(journalBefore);
    EXPECT_EQ(journal.rfind("exit=1 args=-NoProfile -NonInteractive -EncodedCommand " +
                                Narrow(EncodeCommandBase64(BuildActivationScript())) + "\n",
                            0),
              0u);
    EXPECT_NE(journal.find(std::string("start process '") + kAppShellPath + "'"), std::string::npos)
        << journal;
    ResetLogFolders();
    RemoveTree(scratch);
}

TEST(RealPowerShell, BindsTheAppPathAndArgumentsAndExitsOneWhenStartProcessFails) {
    const std::wstring script = BuildActivationScript();
    EXPECT_EQ(RunPowerShell(EncodeCommandBase64(kStartProcessBindingExactly + script)), 0u);
    // Write-Error stops the catch block before its exit 1; PowerShell still exits 1.
    EXPECT_EQ(RunPowerShell(EncodeCommandBase64(kStartProcessFailing + script)), 1u);
}

TEST(RealPowerShell, EndsNonZeroOnAnEmptyOrCutEncoding) {
    const std::wstring encoded = EncodeCommandBase64(BuildActivationScript());
    // PowerShell 7's code for a command line it cannot use.
    EXPECT_EQ(RunPowerShell(L""), 64u);
    EXPECT_EQ(RunPowerShell(std::wstring_view(encoded).substr(0, encoded.size() - 1)), 64u);
}

} // namespace
