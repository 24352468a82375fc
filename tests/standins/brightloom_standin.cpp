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
    ::Sleep(ms);
    return 0;
}
