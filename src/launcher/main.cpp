// Entry point of LaunchBrightloom: no window, no arguments, one launch.
#include "launcher/launch_sequence.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Before anything loads a DLL by name, ours or the system's own on our
    // behalf: only System32 is searched, so that a DLL planted beside the
    // program or in the current folder never runs with the caller's rights.
    static_cast<void>(::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32));
    return RunLaunchSequence();
}
