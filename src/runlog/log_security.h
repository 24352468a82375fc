// The security a new run-log file is created with, so that every user's runs can append to it.
#pragma once

#include <windows.h>

#include <memory>

struct LocalFreeDeleter {
    void operator()(void* memory) const noexcept { ::LocalFree(memory); }
};
using UniqueSecurityDescriptor = std::unique_ptr<void, LocalFreeDeleter>;

// SYSTEM and Administrators have full control. Users, and the file's owner as
// such, may read it and append to it, but not write elsewhere in it, delete
// it or change its permissions. Nothing is inherited from the folder. Null if
// it cannot be built; the file then gets the folder's default security.
[[nodiscard]] UniqueSecurityDescriptor NewLogFileSecurity() noexcept;
