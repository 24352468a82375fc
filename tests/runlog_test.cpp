// Run log: line bytes, timestamps, where the log goes, and appends from many writers.
#include "runlog/final_path.h"
#include "runlog/folder_walk.h"
#include "runlog/log_file.h"
#include "runlog/log_line.h"
#include "runlog/log_path.h"
#include "runlog/log_place.h"
#include "runlog/log_security.h"
#include "runlog/run_log.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <shlobj.h>

#include <map>
#include <set>

namespace {

using namespace test;

TEST(FormatLogLine, StoresOneBytePerUnitAndEndsWithCrLf) {
    const struct {
        std::wstring_view message;
        std::string bytes;
    } cases[] = {
        {L"=== LaunchBrightloom started ===",
         "[2026-01-02 03:04:05] === LaunchBrightloom started ===\r\n"},
        {L"", "[2026-01-02 03:04:05] \r\n"},
        {L"one\ntwo", "[2026-01-02 03:04:05] one\r\ntwo\r\n"},
        {L"caf\u00e9", "[2026-01-02 03:04:05] caf\xe9\r\n"},
        {L"smile \u263a", "[2026-01-02 03:04:05] smile ?\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatLogLine(L"2026-01-02 03:04:05", c.message), c.bytes);
    }
}

TEST(FormatTimestamp, IsTheLocalTimeToTheSecond) {
    // The Wine tests run in St. John's, 2.5 or 3.5 hours from UTC
    // (tests/CMakeLists.txt): there, a stamp in UTC cannot pass for local time.
    TIME_ZONE_INFORMATION zone{};
    const DWORD season = ::GetTimeZoneInformation(&zone);
    ASSERT_NE(zone.Bias + (season == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : 0), 0);
    const std::string before = LocalTimeNow();
    const std::string stamp = Narrow(FormatTimestamp());
    const std::string after = LocalTimeNow();
    ASSERT_EQ(stamp.size(), 19u);
    EXPECT_TRUE(stamp == before || stamp == after) << stamp << " vs " << before;
}

// What each account that an access-allowed entry names may do; an entry of
// another kind, or for another account, shows up as a fault of its own.
std::map<std::string, ACCESS_MASK> GrantsOf(ACL* acl) {
    const std::pair<WELL_KNOWN_SID_TYPE, const char*> accounts[] = {
        {WinLocalSystemSid, "SYSTEM"},
        {WinBuiltinAdministratorsSid, "Administrators"},
        {WinBuiltinUsersSid, "Users"},
        {WinCreatorOwnerRightsSid, "OWNER RIGHTS"},
    };
    std::map<std::string, ACCESS_MASK> grants;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        EXPECT_TRUE(::GetAce(acl, i, reinterpret_cast<void**>(&ace)));
        std::string name = "entry of type " + std::to_string(ace->Header.AceType);
        for (const auto& [type, account] : accounts) {
            if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                ::IsWellKnownSid(&ace->SidStart, type)) {
                name = account;
            }
        }
        grants[name] |= ace->Mask;
    }
    return grants;
}

TEST(NewLogFileSecurity, LetsUsersAndTheOwnerOnlyReadAndAppend) {
    const UniqueSecurityDescriptor descriptor = NewLogFileSecurity();
    ASSERT_TRUE(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "inherits the folder's rights";
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    ACL* dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr);

    // No write elsewhere in the file, no delete, no change of attributes, permissions or owner.
    constexpr ACCESS_MASK kReadAndAppend = FILE_GENERIC_READ | FILE_APPEND_DATA;
    const std::map<std::string, ACCESS_MASK> expected = {
        {"SYSTEM", FILE_ALL_ACCESS},
        {"Administrators", FILE_ALL_ACCESS},
        {"Users", kReadAndAppend},
        {"OWNER RIGHTS", kReadAndAppend},
    };
    EXPECT_EQ(GrantsOf(dacl), expected);
}

// An impersonation token of this process, or of it with Administrators deny-only,
// as a standard user or an administrator's non-elevated shell holds it.
UniqueHandle TokenToCheck(bool administratorsDenyOnly) {
    HANDLE process = nullptr;
    EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, &process));
    UniqueHandle token(process);
    if (administratorsDenyOnly) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(sid);
        EXPECT_TRUE(::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size));
        SID_AND_ATTRIBUTES administrators{sid, 0};
        HANDLE restricted = nullptr;
        EXPECT_TRUE(::CreateRestrictedToken(token.get(), 0, 1, &administrators, 0, nullptr, 0,
                                            nullptr, &restricted));
        token = UniqueHandle(restricted);
    }
    HANDLE impersonation = nullptr;
    EXPECT_TRUE(::DuplicateToken(token.get(), SecurityImpersonation, &impersonation));
    return UniqueHandle(impersonation);
}

// What Windows' own AccessCheck grants the token for a file open asking for
// the rights; nothing where it refuses.
ACCESS_MASK Granted(PSECURITY_DESCRIPTOR descriptor, bool administratorsDenyOnly,
                    ACCESS_MASK wanted) {
    const UniqueHandle token = TokenToCheck(administratorsDenyOnly);
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                            FILE_ALL_ACCESS};
    ::MapGenericMask(&wanted, &mapping);
    PRIVILEGE_SET privileges{};
    DWORD privilegesSize = sizeof(privileges);
    ACCESS_MASK granted = 0;
    BOOL allowed = FALSE;
    EXPECT_TRUE(::AccessCheck(descriptor, token.get(), wanted, &mapping, &privileges,
                              &privilegesSize, &granted, &allowed));
    return allowed ? granted : 0;
}

// The launcher's rights as Windows decides them. Owner and group are SYSTEM,
// since Wine lets an owner do more than its entries say.
TEST(NewLogFileSecurity, LetsEveryUserReadAndAppendAndOnlyAdministratorsDoMore) {
    const UniqueSecurityDescriptor launcher = NewLogFileSecurity();
    ASSERT_TRUE(launcher);
    wchar_t* dacl = nullptr;
    ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(
        launcher.get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &dacl, nullptr));
    const std::wstring sddl = std::wstring(L"O:SYG:SY") + dacl;
    ::LocalFree(dacl);
    PSECURITY_DESCRIPTOR raw = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        sddl.c_str(), SDDL_REVISION_1, &raw, nullptr));
    const UniqueSecurityDescriptor descriptor(raw);

    const struct {
        bool administratorsDenyOnly;
        ACCESS_MASK wanted;
        bool granted;
    } cases[] = {
        {true, GENERIC_READ, true}, // a viewer, Get-Content, type
        {true, kLogAppendAccess, true}, {true, FILE_APPEND_DATA, true},
        {true, FILE_WRITE_DATA, false}, {true, GENERIC_WRITE, false},
        {true, DELETE, false},          {true, WRITE_DAC, false},
        {true, WRITE_OWNER, false},     {true, FILE_WRITE_ATTRIBUTES, false},
        {false, GENERIC_ALL, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Granted(descriptor.get(), c.administratorsDenyOnly, c.wanted) != 0, c.granted)
            << std::hex << "0x" << c.wanted << (c.administratorsDenyOnly ? " as a user" : "");
    }
    EXPECT_EQ(Granted(descriptor.get(), true, MAXIMUM_ALLOWED),
              static_cast<ACCESS_MASK>(FILE_GENERIC_READ | FILE_APPEND_DATA));
}

class LogPath : public ::testing::Test {
protected:
    void SetUp() override { ResetLogFolders(); }
    void TearDown() override { ResetLogFolders(); }
};

TEST_F(LogPath, GoesToProgramDataAndCreatesBothFoldersThere) {
    EXPECT_EQ(FindLogFilePath().path, ProgramDataLogPath());
    EXPECT_EQ(ReadBytes(ProgramDataLogPath()), std::string());
    // Common Files is tried, but its maker folder is never created.
    EXPECT_FALSE(Exists(CommonFilesMakerFolder()));
}

TEST_F(LogPath, GoesToCommonFilesWhenTheMakerFolderExists) {
    ASSERT_TRUE(::CreateDirectoryW(CommonFilesMakerFolder().c_str(), nullptr));
    EXPECT_EQ(FindLogFilePath().path, CommonFilesLogPath());
    // The probe leaves an empty file behind.
    EXPECT_EQ(ReadBytes(CommonFilesLogPath()), std::string());
    EXPECT_FALSE(Exists(ProgramDataMakerFolder()));
}

TEST_F(LogPath, FallsBackToProgramDataWhenCommonFilesLogCannotBeOpened) {
    ASSERT_TRUE(::CreateDirectoryW(CommonFilesMakerFolder().c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((CommonFilesMakerFolder() + L"\\Brightloom").c_str(), nullptr));
    const UniqueHandle holder = HoldNewFile(CommonFilesLogPath());
    ASSERT_TRUE(holder);
    EXPECT_EQ(FindLogFilePath().path, ProgramDataLogPath());
}

TEST_F(LogPath, FallsBackToTheCurrentDirectoryWhenProgramDataCannotTakeTheLog) {
    ASSERT_TRUE(::CreateDirectoryW(ProgramDataMakerFolder().c_str(), nullptr));
    const UniqueHandle blocker = HoldNewFile(ProgramDataMakerFolder() + L"\\Brightloom");
    ASSERT_TRUE(blocker);
    EXPECT_EQ(FindLogFilePath().path, L".\\bright_loom_launcher_logs.txt");
}

TEST_F(LogPath, FallsBackToProgramDataWhenAFileTakesTheFolderPlace) {
    ASSERT_TRUE(::CreateDirectoryW(CommonFilesMakerFolder().c_str(), nullptr));
    const UniqueHandle blocker = HoldNewFile(CommonFilesMakerFolder() + L"\\Brightloom");
    ASSERT_TRUE(blocker);
    EXPECT_EQ(FindLogFilePath().path, ProgramDataLogPath());
}

// A path of the prefix as a Unix program names it, quoted for the shell.
std::string UnixPath(const std::wstring& path) {
    using ToUnix = char*(CDECL*)(LPCWSTR);
    const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = toUnix(path.c_str());
    const std::string quoted = "'" + std::string(unix) + "'";
    ::HeapFree(::GetProcessHeap(), 0, unix);
    return quoted;
}

// A Unix symbolic link to the target at the path while this lives: under Wine,
// what a junction or a symbolic link is on Windows. What was at the path may
// first be moved aside, on disk, where no Windows rule stops it.
struct UnixLink {
    UnixLink(std::wstring at, const std::wstring& target, bool moveAside = false)
        : link(std::move(at)) {
        const std::string move = "mv " + UnixPath(link) + " " + UnixPath(link + L".moved") + " && ";
        Shell((moveAside ? move : "") + "ln -s " + UnixPath(target) + " " + UnixPath(link));
    }
    ~UnixLink() { Shell("rm " + UnixPath(link)); }
    // Wine starts a Unix program with no handle to wait on: it leaves a mark when done.
    void Shell(const std::string& command) const {
        const std::wstring mark = link + L".done";
        std::string line = "/bin/sh -c \"" + command + " && touch " + UnixPath(mark) + "\"";
        STARTUPINFOA startup{sizeof(startup)};
        PROCESS_INFORMATION shell{};
        EXPECT_TRUE(::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                     nullptr, &startup, &shell));
        WaitForFile(mark);
        ::DeleteFileW(mark.c_str());
    }
    const std::wstring link;
};

// A run holds the log's folder once it has checked it, and a user who owns the
// folder above cannot move it meanwhile. Moved all the same, on disk, and a
// link put at its name: the file is made in the folder held, never at the
// link's target, and refused there, as that folder no longer lies where it must.
TEST_F(LogPath, AFolderSwappedForALinkAfterItsCheckGetsNoFileThere) {
    const std::wstring folder = ProgramDataMakerFolder() + L"\\Brightloom";
    ASSERT_TRUE(::CreateDirectoryW(ProgramDataMakerFolder().c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring target = MakeScratchFolder(L"swap-target");
    const std::wstring name = L"bright_loom_launcher_logs.txt";
    const std::wstring finalPath = FinalFolderPath(folder).value_or(L"?") + L"\\" + name;
    const UniqueHandle held = std::move(OpenWalkStart(folder).handle);
    // A file made and refused is removed. Wine removes a file by the path its
    // folder was opened with, so this is shown before the folder moves.
    EXPECT_FALSE(
        OpenChildFile(held.get(), name, kLogAppendAccess, kLogShare, nullptr, finalPath + L"x"));
    EXPECT_FALSE(Exists(folder + L"\\" + name)) << "a refused new file is left";

    EXPECT_FALSE(::MoveFileW(folder.c_str(), (folder + L".moved").c_str()));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    const UnixLink link(folder, target, true);
    EXPECT_FALSE(OpenChildFile(held.get(), name, kLogAppendAccess, kLogShare, nullptr, finalPath));
    EXPECT_FALSE(Exists(target + L"\\" + name));
}

// A folder made and then refused is removed, as a file is; one that was there stays.
TEST_F(LogPath, ARefusedFolderIsRemovedOnlyWhereThisRunMadeIt) {
    const std::wstring folder = ProgramDataMakerFolder() + L"\\Brightloom";
    const std::wstring elsewhere = L"\\\\?\\Z:\\elsewhere\\Brightloom";
    ASSERT_TRUE(::CreateDirectoryW(ProgramDataMakerFolder().c_str(), nullptr));
    const Opened held = OpenWalkStart(ProgramDataMakerFolder());
    ASSERT_TRUE(held);
    EXPECT_FALSE(OpenChildFolder(held.handle.get(), L"Brightloom", true, elsewhere));
    EXPECT_FALSE(Exists(folder)) << "a refused new folder is left";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    EXPECT_FALSE(OpenChildFolder(held.handle.get(), L"Brightloom", true, elsewhere));
    EXPECT_TRUE(Exists(folder)) << "a folder this run did not make was removed";
}

// Another run's walk opens a folder that a run has just made and still holds.
TEST_F(LogPath, AFolderOneRunMadeOpensForAnotherMeanwhile) {
    ASSERT_TRUE(::CreateDirectoryW(ProgramDataMakerFolder().c_str(), nullptr));
    const Opened parent = OpenWalkStart(ProgramDataMakerFolder());
    const Opened made = OpenChildFolder(parent.handle.get(), L"Brightloom", true, L"");
    ASSERT_TRUE(made && made.made);
    EXPECT_TRUE(OpenChildFolder(parent.handle.get(), L"Brightloom", false, L""));
}

// Where a folder's final path cannot be read (a volume without a drive
// letter), the log is still looked up through the folder's handle: a link at
// the name is not followed, and nothing is made where it points.
TEST_F(LogPath, ALinkAtTheNameIsNotFollowedWhereNoFinalPathCanBeRead) {
    const std::wstring folder = MakeScratchFolder(L"no-final-path");
    const std::wstring target = MakeScratchFolder(L"link-target") + L"\\made.txt";
    const UnixLink link(folder + L"\\bright_loom_launcher_logs.txt", target);
    EXPECT_FALSE(OpenLogFileForAppend({link.link, folder, L""}, DeadlineForOneLine()));
    EXPECT_FALSE(Exists(target));
}

// Wine keeps no descriptor with a file: it turns the one a file is created
// with into Unix permissions and reads one back from those. So the log is
// compared with a file made here with the log's descriptor; made without it,
// a file reads back readable by Everyone.
std::wstring DaclOf(const std::wstring& path) {
    char descriptor[4096];
    DWORD needed = 0;
    wchar_t* text = nullptr;
    if (!::GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor, sizeof(descriptor),
                            &needed) ||
        !::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return L"unreadable";
    }
    const std::wstring dacl = text;
    ::LocalFree(text);
    return dacl;
}

TEST_F(LogPath, ANewLogGetsItsOwnDescriptorInEitherPlace) {
    for (const bool commonFiles : {false, true}) {
        ResetLogFolders();
        ASSERT_TRUE(!commonFiles || ::CreateDirectoryW(CommonFilesMakerFolder().c_str(), nullptr));
        const std::wstring log = FindLogFilePath().path;
        ASSERT_EQ(log, commonFiles ? CommonFilesLogPath() : ProgramDataLogPath());
        const std::wstring twin = log + L".twin";
        const UniqueSecurityDescriptor descriptor = NewLogFileSecurity();
        SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};
        ASSERT_TRUE(UniqueHandle(::CreateFileW(twin.c_str(), GENERIC_READ, 0, &security, CREATE_NEW,
                                               FILE_ATTRIBUTE_NORMAL, nullptr)));
        EXPECT_EQ(DaclOf(log), DaclOf(twin)) << commonFiles;
        EXPECT_EQ(DaclOf(log).find(L";WD)"), std::wstring::npos) << commonFiles;
    }
}

class RunLog : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLogFolders();
        // The process keeps the path it found first; make sure it is the one
        // a clean machine gives, and that its folders exist again.
        ASSERT_EQ(FindLogFilePath().path, ProgramDataLogPath());
        ASSERT_EQ(ResolveLogFilePath().path, ProgramDataLogPath());
    }
    void TearDown() override { ResetLogFolders(); }
};

TEST_F(RunLog, WritesOneLinePerMessageWithItsTimestamp) {
    WriteLogLine(L"first");
    WriteLogLine(L"");
    WriteLogLine(L"a\nb");
    const std::string bytes = ReadBytes(ProgramDataLogPath()).value_or("");
    EXPECT_EQ(bytes.find('\xEF'), std::string::npos) << "no byte-order mark";
    const std::vector<std::string> lines = SplitLines(bytes);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(MessageOf(lines[0]), "first");
    EXPECT_EQ(MessageOf(lines[1]), "");
    // A line feed inside a message is stored as a line end, like the text-mode log always did.
    EXPECT_EQ(MessageOf(lines[2]), "a");
    EXPECT_EQ(lines[3], "b");
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
}

TEST_F(RunLog, ALineIsNeverGluedToAFragmentLeftBeforeIt) {
    // What a write cut short leaves where the file cannot be cut back, as in a
    // standard user's run, who may only append.
    {
        const UniqueHandle file(::CreateFileW(ProgramDataLogPath().c_str(), FILE_APPEND_DATA, 0,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        DWORD written = 0;
        ASSERT_TRUE(
            ::WriteFile(file.get(), "[2026-01-02 03:04:05] half a li", 31, &written, nullptr));
    }
    WriteLogLine(L"next");
    WriteLogLine(L"after");
    const std::vector<std::string> lines = SplitLines(ReadBytes(ProgramDataLogPath()).value_or(""));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[2026-01-02 03:04:05] half a li");
    EXPECT_EQ(MessageOf(lines[1]), "next");
    EXPECT_EQ(MessageOf(lines[2]), "after");
}

TEST_F(RunLog, AnAppendsLockLeavesTheDataFreeToLockAndRead) {
    WriteLogLine(L"first");
    const UniqueHandle appender = OpenLogFileForAppend(ResolveLogFilePath(), DeadlineForOneLine());
    ASSERT_TRUE(appender);
    ASSERT_TRUE(LockForAppend(appender.get(), DeadlineForOneLine()));
    // Windows refuses a read across another handle's lock, and Wine only
    // another lock: a reader that can lock all the data can read it anywhere.
    const UniqueHandle reader(::CreateFileW(ProgramDataLogPath().c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    OVERLAPPED start{};
    const DWORD size = ::GetFileSize(reader.get(), nullptr);
    EXPECT_TRUE(::LockFileEx(reader.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                             size, 0, &start))
        << ::GetLastError();
    char head = 0;
    DWORD read = 0;
    EXPECT_TRUE(::ReadFile(reader.get(), &head, 1, &read, &start) && head == '[');
}

// What another program holds up on the log's handle (on Windows an append,
// until a filter oplock's holder acknowledges the break) is given up at the
// line's deadline, not waited for. Wine has no oplocks: a read of a pipe that
// nobody writes to stands in, pending the same way.
TEST(FinishBy, GivesUpAnOperationHeldUpPastTheDeadline) {
    const std::wstring name = L"\\\\.\\pipe\\launchbrightloom-finish-by";
    const UniqueHandle server(::CreateNamedPipeW(name.c_str(),
                                                 PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                                 PIPE_TYPE_BYTE, 1, 16, 16, 0, nullptr));
    const UniqueHandle client(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(server && client);
    char byte = 0;
    OVERLAPPED read{};
    DWORD count = 0;
    const BOOL begun = ::ReadFile(server.get(), &byte, 1, nullptr, &read);
    EXPECT_FALSE(FinishBy(server.get(), read, begun, ::GetTickCount64() + 100, count));
    // Cancelled: what is written now is left for the next read, not taken by that one.
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(client.get(), "x", 1, &written, nullptr));
    OVERLAPPED next{};
    EXPECT_TRUE(FinishBy(server.get(), next, ::ReadFile(server.get(), &byte, 1, nullptr, &next),
                         ::GetTickCount64() + 5000, count));
    EXPECT_EQ(byte, 'x');
}

TEST_F(RunLog, ConcurrentWritersLoseAndTearNoLine) {
    constexpr int kWriters = 6;
    constexpr int kLinesEach = 300;
    std::vector<UniqueProcessInformation> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(
            Start(BinProgram(L"log_append_worker.exe"),
                  L"writer" + std::to_wstring(w) + L" " + std::to_wstring(kLinesEach)));
    }
    for (const auto& writer : writers) {
        ASSERT_EQ(::WaitForSingleObject(writer.process(), INFINITE), WAIT_OBJECT_0);
    }

    std::map<std::string, std::set<int>> seen;
    const std::vector<std::string> messages = MessagesOf(ProgramDataLogPath());
    for (const std::string& message : messages) {
        const size_t blank = message.find(' ');
        ASSERT_NE(blank, std::string::npos) << "torn line: " << message;
        const std::string tag = message.substr(0, blank);
        const int n = std::stoi(message.substr(blank + 1));
        EXPECT_TRUE(seen[tag].insert(n).second) << "duplicate: " << message;
    }
    EXPECT_EQ(messages.size(), static_cast<size_t>(kWriters * kLinesEach));
    for (int w = 0; w < kWriters; ++w) {
        const auto& lines = seen["writer" + std::to_string(w)];
        EXPECT_EQ(lines.size(), static_cast<size_t>(kLinesEach)) << "writer " << w;
    }
}

} // namespace
