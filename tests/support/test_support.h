// Helpers for tests that drive the real programs and folders of the Wine prefix.
#pragma once

#include "common/unique_handle.h"

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace test {

// Folder of the running test program; the built programs sit beside it.
std::wstring BinFolder();
std::wstring BinProgram(std::wstring_view fileName);

std::wstring ShellFolder(int csidl);
std::wstring CommonFilesMakerFolder(); // ...\Common Files\Velmora
std::wstring CommonFilesLogPath();     // ...\Common Files\Velmora\Brightloom\<log>
std::wstring ProgramDataMakerFolder(); // C:\ProgramData\Velmora
std::wstring ProgramDataLogPath();     // C:\ProgramData\Velmora\Brightloom\<log>
std::wstring SystemPowerShell();       // where the PowerShell stand-in is installed

// The package folder the PowerShell stand-in starts the target app from.
std::wstring InstalledAppFolder();
// Puts the target app stand-in in its package folder, for the PowerShell stand-in to start.
void InstallApp();
// Ends the target app stand-in and removes its package folder.
void RemoveInstalledApp();

// Removes both machine-wide log folders, so that a test starts from a clean machine.
void ResetLogFolders();

// A fresh, empty folder under the temporary folder.
std::wstring MakeScratchFolder(std::wstring_view name);
void RemoveTree(const std::wstring& path);
bool Exists(const std::wstring& path);
void CopyInto(const std::wstring& from, const std::wstring& to);

std::optional<std::string> ReadBytes(const std::wstring& path);
// Splits at CR LF; a final CR LF ends the last line and adds none.
std::vector<std::string> SplitLines(std::string_view bytes);
// The message of a log line if the line has the "[YYYY-MM-DD HH:MM:SS] " form.
std::optional<std::string> MessageOf(std::string_view line);
std::vector<std::string> MessagesOf(const std::wstring& logPath);
// The five messages of a run on a machine where the app is not running: one
// that succeeds, and one that fails with the error.
const std::vector<std::string>& SuccessfulRun();
std::vector<std::string> FailedRun(const std::string& error);
// The system's local time now, in the log's "YYYY-MM-DD HH:MM:SS" form.
std::string LocalTimeNow();
// key=value lines, as the PowerShell stand-in records them.
std::optional<std::string> RecordValue(const std::wstring& recordPath, std::string_view key);
std::string Narrow(std::wstring_view text);

// With inheritHandles, the program gets every inheritable handle of this process.
UniqueProcessInformation Start(const std::wstring& program, const std::wstring& arguments,
                               const std::wstring& directory = {}, bool inheritHandles = false);
// Waits for the process to end and returns its exit code.
DWORD WaitForExit(const UniqueProcessInformation& process);
// Runs the program to its end and returns its exit code.
DWORD RunToEnd(const std::wstring& program, const std::wstring& arguments = {},
               const std::wstring& directory = {});

// Returns once the file exists.
void WaitForFile(const std::wstring& path);

// Ends every process, but this one, whose executable lies below the folder.
void EndProcessesUnder(const std::wstring& folder);

// A pipe of which only one end, the reading or the writing one, is inheritable.
struct Pipe {
    UniqueHandle reader;
    UniqueHandle writer;
};
Pipe PipeInheritableAt(bool readEnd);

// Creates a file at the path and keeps it open without sharing, so that
// nothing else can open it, nor make a folder in its place.
UniqueHandle HoldNewFile(const std::wstring& path);

// Copies of the target app stand-in, run from a scratch folder of the given
// name until this goes; each is running its own code once this is made.
class RunningApps {
public:
    RunningApps(std::wstring_view folderName, int count);
    ~RunningApps();
    RunningApps(const RunningApps&) = delete;
    RunningApps& operator=(const RunningApps&) = delete;

private:
    std::wstring folder_;
    std::vector<UniqueProcessInformation> processes_;
};

// Sets an environment variable for this process and the children it starts,
// restoring the old value when it goes.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::wstring name, const std::wstring& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::wstring name_;
    std::optional<std::wstring> previous_;
};

} // namespace test
