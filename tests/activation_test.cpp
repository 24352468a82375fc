// Activation: the script, its encoding, and PowerShell run hidden from the system folder.
#include "activation/activation_script.h"
#include "activation/encode_command.h"
#include "activation/launch_app.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <wincrypt.h>

namespace {

using namespace test;

constexpr wchar_t kScript[] =
    L"$ErrorActionPreference='Stop'; try { Start-Process "
    L"'shell:AppsFolder\\VelmoraSoftworksLimited.VelmoraBrightloom_q4rk7vbn2xs9e!App' "
    L"-ArgumentList 'launch=headless-mode;source=test'; exit 0 } catch { Write-Error "
    L"$_.Exception.Message; exit 1 }";
constexpr wchar_t kCommandPrefix[] = L"powershell.exe -NoProfile -NonInteractive -EncodedCommand ";

std::wstring DecodeBase64(const std::wstring& text) {
    DWORD size = 0;
    if (!::CryptStringToBinaryW(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                                nullptr, &size, nullptr, nullptr)) {
        return L"<undecodable>";
    }
    std::wstring decoded(size / 2, L'\0');
    ::CryptStringToBinaryW(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                           reinterpret_cast<BYTE*>(decoded.data()), &size, nullptr, nullptr);
    return decoded;
}

TEST(ActivationScript, IsTheFixedStartProcessCall) {
    EXPECT_EQ(BuildActivationScript(), kScript);
    EXPECT_EQ(BuildPowerShellCommandLine(L"QUJD"), std::wstring(kCommandPrefix) + L"QUJD");
}

TEST(ActivationScript, ExitCodesMapToResults) {
    const struct {
        std::optional<DWORD> code;
        bool ok;
        std::wstring_view error;
    } cases[] = {
        {0, true, L""},
        {1, false, L"App launch failed with PowerShell exit code 1"},
        {259, false, L"App launch failed with PowerShell exit code 259"},
        {0xC0000005, false, L"App launch failed with PowerShell exit code 3221225477"},
        {0xFFFFFFFF, false, L"App launch failed with PowerShell exit code 4294967295"},
        {std::nullopt, false, L"Failed to read PowerShell exit code."},
    };
    for (const auto& c : cases) {
        const LaunchResult result = ResultOfPowerShellExit(c.code);
        EXPECT_EQ(result.ok, c.ok);
        EXPECT_EQ(result.error, c.error);
    }
}

TEST(EncodeCommandBase64, IsOneLineOfPaddedBase64OfUtf16Le) {
    const struct {
        std::wstring_view text;
        std::wstring_view encoded;
    } cases[] = {
        {L"", L""},
        {L"a", L"YQA="},       // 2 bytes: one "="
        {L"ab", L"YQBiAA=="},  // 4 bytes: two "="
        {L"abc", L"YQBiAGMA"}, // 6 bytes: none
        {L"\u00e9\u263a", L"6QA6Jg=="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeCommandBase64(c.text), c.encoded);
    }
}

TEST(EncodeCommandBase64, RoundTripsTheScriptWithoutLineBreaks) {
    // Long enough that a line-wrapping encoder would break it.
    for (const std::wstring& script :
         {std::wstring(kScript), std::wstring(kScript) + L"x", std::wstring(kScript) + L"xy"}) {
        const std::wstring encoded = EncodeCommandBase64(script);
        EXPECT_EQ(encoded.find_first_not_of(
                      L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::wstring::npos);
        EXPECT_EQ(encoded.size() % 4, 0u);
        EXPECT_EQ(DecodeBase64(encoded), script);
    }
}

// Runs LaunchApp against the PowerShell stand-in, which records how it was started.
class LaunchAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = MakeScratchFolder(L"activation");
        record_ = folder_ + L"\\record.txt";
    }
    void TearDown() override { RemoveTree(folder_); }

    std::optional<std::string> Recorded(std::string_view key) const {
        return RecordValue(record_, key);
    }

    std::wstring folder_;
    std::wstring record_;
};

TEST_F(LaunchAppTest, RunsSystemPowerShellHiddenWithTheEncodedScript) {
    const ScopedEnvironment record(L"LB_PS_RECORD", record_);
    const ScopedEnvironment exitCode(L"LB_PS_EXIT_CODE", L"0");
    const LaunchResult result = LaunchApp();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.error, L"");

    EXPECT_EQ(Recorded("image"), Narrow(SystemPowerShell()));
    EXPECT_EQ(Recorded("command_line"), Narrow(kCommandPrefix + EncodeCommandBase64(kScript)));
    EXPECT_EQ(Recorded("decoded"), "yes");
    EXPECT_EQ(Recorded("script"), Narrow(kScript));
    EXPECT_EQ(Recorded("startup_flags"), std::to_string(STARTF_USESHOWWINDOW));
    EXPECT_EQ(Recorded("show_window"), std::to_string(SW_HIDE));
    EXPECT_EQ(Recorded("console_window"), "0");
}

TEST_F(LaunchAppTest, ReportsANonZeroExitCodeInDecimal) {
    const ScopedEnvironment record(L"LB_PS_RECORD", record_);
    for (const auto& [code, text] : {std::pair{L"1", L"1"}, std::pair{L"4294967295", L"4294967295"},
                                     std::pair{L"259", L"259"}}) {
        const ScopedEnvironment exitCode(L"LB_PS_EXIT_CODE", code);
        const LaunchResult result = LaunchApp();
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error,
                  std::wstring(L"App launch failed with PowerShell exit code ") + text);
    }
}

TEST_F(LaunchAppTest, ReportsStartFailureWhenPowerShellIsMissing) {
    const std::wstring aside = SystemPowerShell() + L".aside";
    ASSERT_TRUE(::MoveFileW(SystemPowerShell().c_str(), aside.c_str()));
    const LaunchResult result = LaunchApp();
    ASSERT_TRUE(::MoveFileW(aside.c_str(), SystemPowerShell().c_str()));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, L"Failed to start PowerShell process.");
}

TEST_F(LaunchAppTest, NeverRunsAPowerShellPlantedInTheCurrentOrProgramFolder) {
    const std::wstring planted = folder_ + L"\\powershell.exe";
    const std::wstring besideProgram = BinProgram(L"powershell.exe");
    CopyInto(SystemPowerShell(), planted);
    CopyInto(SystemPowerShell(), besideProgram);
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(folder_.c_str()));

    const ScopedEnvironment record(L"LB_PS_RECORD", record_);
    const ScopedEnvironment exitCode(L"LB_PS_EXIT_CODE", L"0");
    const LaunchResult result = LaunchApp();

    ::SetCurrentDirectoryW(previous);
    ::DeleteFileW(besideProgram.c_str());
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(Recorded("image"), Narrow(SystemPowerShell()));
}

} // namespace
