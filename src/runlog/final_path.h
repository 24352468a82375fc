// Where an open file or a folder really lies, once every link is followed.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

// The final path of the open file or folder, as the file system names it.
[[nodiscard]] std::optional<std::wstring> FinalPathOf(HANDLE file);

// The final path of the folder, without the trailing backslash that a drive's
// or a share's root has, so that a name can follow; nullopt if it cannot be opened.
[[nodiscard]] std::optional<std::wstring> FinalFolderPath(const std::wstring& folder);

// Windows paths name the same place whatever the letter case.
[[nodiscard]] bool SamePath(const std::wstring& a, const std::wstring& b) noexcept;
