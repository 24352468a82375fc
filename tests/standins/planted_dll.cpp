// A DLL that an attacker might plant under a system DLL's name: when a process
// loads it, it leaves a mark "<its file name>.ran" in LB_PLANTED_MARKS, so that
// a test can tell. It exports what the launcher once imported from crypt32, so
// that a load-time import of it would resolve and its DllMain run.
#include <windows.h>

#include <string>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    wchar_t marks[MAX_PATH] = {};
    wchar_t image[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"LB_PLANTED_MARKS", marks, MAX_PATH) > 0 &&
        ::GetModuleFileNameW(self, image, MAX_PATH) > 0) {
        const std::wstring path = image;
        const std::wstring mark = std::wstring(marks) + path.substr(path.rfind(L'\\')) + L".ran";
        ::CloseHandle(::CreateFileW(mark.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI
    CryptBinaryToStringW(const BYTE*, DWORD, DWORD, LPWSTR, DWORD*) {
    return FALSE;
}
