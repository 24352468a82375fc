// Entry point of LaunchBrightloom: no window, no arguments, one launch.
#include "launcher/launch_sequence.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return RunLaunchSequence();
}
