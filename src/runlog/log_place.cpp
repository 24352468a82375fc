// Opening the run log, only where it really lies when that is required.
#include "runlog/log_place.h"

#include "runlog/final_path.h"
#include "runlog/log_security.h"

namespace {

// Other writers and readers, a log viewer among them, may keep the file open.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Read access is what Windows asks of a handle before it may lock.
constexpr DWORD kAppendAccess =
    FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

[[nodiscard]] bool HasOneLinkAndLiesAt(HANDLE file, const std::wstring& finalPath) {
    BY_HANDLE_FILE_INFORMATION information{};
    const auto actual = FinalPathOf(file);
    return ::GetFileInformationByHandle(file, &information) && information.nNumberOfLinks == 1 &&
           actual && SamePath(*actual, finalPath);
}

// Opens the file only where it really lies at the required place. A missing
// file is created only when its folder lies at the required place, and never
// through a link left at the file's own name.
[[nodiscard]] UniqueHandle OpenAtRequiredPlace(const LogPlace& place,
                                               SECURITY_ATTRIBUTES* security) {
    UniqueHandle file(::CreateFileW(place.path.c_str(), kAppendAccess, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
        const std::wstring& required = place.requiredFinalPath;
        const std::wstring folder = place.path.substr(0, place.path.rfind(L'\\'));
        const auto actualFolder = FinalFolderPath(folder);
        if (actualFolder && SamePath(*actualFolder, required.substr(0, required.rfind(L'\\')))) {
            // A link at the name stops CREATE_NEW instead of being followed.
            file.reset(
                ::CreateFileW(place.path.c_str(), kAppendAccess, kShareAll, security, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            if (!file && ::GetLastError() == ERROR_FILE_EXISTS) {
                // Another run created it meanwhile.
                file.reset(::CreateFileW(place.path.c_str(), kAppendAccess, kShareAll, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            }
        }
    }
    if (file && !HasOneLinkAndLiesAt(file.get(), place.requiredFinalPath)) {
        file.reset();
    }
    return file;
}

} // namespace

UniqueHandle OpenLogFileForAppend(const LogPlace& place) noexcept {
    try {
        // Only a file that this creates gets the security; an existing one keeps its own.
        const UniqueSecurityDescriptor descriptor = NewLogFileSecurity();
        SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};
        if (!place.requiredFinalPath.empty()) {
            return OpenAtRequiredPlace(place, &security);
        }
        return UniqueHandle(::CreateFileW(place.path.c_str(), kAppendAccess, kShareAll, &security,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    } catch (...) {
        return UniqueHandle(); // out of memory for a path
    }
}
