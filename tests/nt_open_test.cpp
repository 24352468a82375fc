// Opens that meet another program's oplock. Wine has no oplocks, so this
// program's own NtCreateFile stands in for ntdll's: it opens for real, then
// answers as Windows does while a break is in progress, with the handle and
// STATUS_OPLOCK_BREAK_IN_PROGRESS, or would have waited had the open not
// asked to complete at once.
#include "runlog/final_path.h"
#include "runlog/log_file.h"
#include "runlog/log_place.h"
#include "runlog/nt_open.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <shlobj.h>

namespace {

// Opens of a name ending so meet a break, the next `breaks` times (all, if negative).
struct Oplocked {
    std::wstring name;
    int breaks = 0;
    // As a batch or filter break that a sharing violation started: no handle.
    bool refused = false;
    int broken = 0;
    int waited = 0; // opens that Windows would have held until the holder let go
} oplocked;

} // namespace

extern "C" NTSTATUS NTAPI NtCreateFile(PHANDLE handle, ACCESS_MASK access,
                                       POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                                       PLARGE_INTEGER allocation, ULONG fileAttributes, ULONG share,
                                       ULONG disposition, ULONG options, PVOID ea, ULONG eaLength) {
    using Real = decltype(&NtCreateFile);
    static const auto real = reinterpret_cast<Real>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")));
    const NTSTATUS status = real(handle, access, attributes, io, allocation, fileAttributes, share,
                                 disposition, options, ea, eaLength);
    const std::wstring_view name(attributes->ObjectName->Buffer,
                                 attributes->ObjectName->Length / sizeof(wchar_t));
    const std::wstring& held = oplocked.name;
    if (status != 0 || oplocked.breaks == 0 || name.size() < held.size() ||
        name.substr(name.size() - held.size()) != held) {
        return status;
    }
    oplocked.breaks -= oplocked.breaks > 0 ? 1 : 0;
    ++oplocked.broken;
    if ((options & FILE_COMPLETE_IF_OPLOCKED) == 0) {
        ++oplocked.waited;
    }
    if (oplocked.refused) {
        ::CloseHandle(*handle);
        io->Information = 0x9; // FILE_OPBATCH_BREAK_UNDERWAY
        return static_cast<NTSTATUS>(0xC0000043L);
    }
    return kOplockBreakInProgress;
}

namespace {

using namespace test;

constexpr wchar_t kLogName[] = L"bright_loom_launcher_logs.txt";

LogPlace ProgramDataPlace() {
    const std::wstring data = ShellFolder(CSIDL_COMMON_APPDATA);
    return {ProgramDataLogPath(), data, FinalFolderPath(data).value_or(L"")};
}

class OplockedLog : public ::testing::Test {
protected:
    void SetUp() override { ResetLogFolders(); }
    void TearDown() override {
        oplocked = {};
        ResetLogFolders();
    }
};

// An indexer's or a virus scanner's oplock goes once it is broken: the log,
// and a folder on its way, are opened again until it has, and the line lands.
TEST_F(OplockedLog, ABreakThatEndsCostsNoLine) {
    const struct {
        bool commonFiles;
        const wchar_t* breaking;
        bool refused;
    } cases[] = {{false, kLogName, false},
                 {false, L"Brightloom", false},
                 {true, kLogName, false},
                 {false, kLogName, true}};
    for (const auto& c : cases) {
        ResetLogFolders();
        LogPlace place = ProgramDataPlace();
        if (c.commonFiles) {
            ASSERT_TRUE(::CreateDirectoryW(CommonFilesMakerFolder().c_str(), nullptr));
            ASSERT_TRUE(
                ::CreateDirectoryW((CommonFilesMakerFolder() + L"\\Brightloom").c_str(), nullptr));
            place = {CommonFilesLogPath(), {}, {}};
        }
        ASSERT_TRUE(OpenLogFileForAppend(place, DeadlineForOneLine(),
                                         true)); // the log and its folders exist
        oplocked = {c.breaking, 3, c.refused};
        UniqueHandle log = OpenLogFileForAppend(place, DeadlineForOneLine());
        ASSERT_TRUE(log) << c.commonFiles << " " << Narrow(c.breaking);
        EXPECT_EQ(oplocked.broken, 3) << Narrow(c.breaking);
        EXPECT_EQ(oplocked.waited, 0) << Narrow(c.breaking);
        EXPECT_TRUE(AppendToLogFile(log.get(), "landed\r\n", DeadlineForOneLine()));
        log.reset();
        EXPECT_EQ(ReadBytes(place.path), std::string("landed\r\n"));
    }
}

// A user who takes an oplock and never lets go costs the line, not the run.
TEST_F(OplockedLog, AHolderThatNeverLetsGoCostsTheLineNotTheRun) {
    ASSERT_TRUE(OpenLogFileForAppend(ProgramDataPlace(), DeadlineForOneLine(), true));
    oplocked = {kLogName, -1};
    EXPECT_FALSE(OpenLogFileForAppend(ProgramDataPlace(), DeadlineForOneLine()));
    EXPECT_GT(oplocked.broken, 1) << "never tried again";
    EXPECT_EQ(oplocked.waited, 0);
}

} // namespace
