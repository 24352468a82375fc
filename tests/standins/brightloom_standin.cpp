// Test stand-in for the target app: a windowless program that stays running
// for a while, so that the process list holds it, then ends by itself.
#include <windows.h>

#include <cwchar>

namespace {

constexpr DWORD kDefaultLifetimeMs = 60'000;

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // LB_APP_LIFETIME_MS shortens or lengthens the stay; tests usually end it themselves.
    wchar_t lifetime[32] = {};
    DWORD ms = kDefaultLifetimeMs;
    if (::GetEnvironmentVariableW(L"LB_APP_LIFETIME_MS", lifetime, 32) > 0) {
        ms = std::wcstoul(lifetime, nullptr, 10);
    }
    // LB_APP_READY_FILE names a file to create once running, for tests that
    // start the app from outside Wine and must know when it is up.
    wchar_t ready[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"LB_APP_READY_FILE", ready, MAX_PATH) > 0) {
        ::CloseHandle(::CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    ::Sleep(ms);
    return 0;
}
