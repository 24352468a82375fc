// Move-only owners for Win32 handles, so that no path can leak one.
#pragma once

#include <windows.h>

#include <utility>

class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    // Win32 reports failure as null or as INVALID_HANDLE_VALUE depending on the call.
    [[nodiscard]] bool valid() const noexcept {
        return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE;
    }
    explicit operator bool() const noexcept { return valid(); }
    [[nodiscard]] HANDLE get() const noexcept { return handle_; }

    [[nodiscard]] HANDLE release() noexcept { return std::exchange(handle_, nullptr); }
    void reset(HANDLE handle = nullptr) noexcept {
        if (valid()) {
            ::CloseHandle(handle_);
        }
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// Owns both handles that CreateProcessW hands back.
class UniqueProcessInformation {
public:
    UniqueProcessInformation() noexcept = default;
    ~UniqueProcessInformation() { reset(); }

    UniqueProcessInformation(UniqueProcessInformation&& other) noexcept
        : info_(std::exchange(other.info_, PROCESS_INFORMATION{})) {}
    UniqueProcessInformation& operator=(UniqueProcessInformation&& other) noexcept {
        if (this != &other) {
            reset();
            info_ = std::exchange(other.info_, PROCESS_INFORMATION{});
        }
        return *this;
    }
    UniqueProcessInformation(const UniqueProcessInformation&) = delete;
    UniqueProcessInformation& operator=(const UniqueProcessInformation&) = delete;

    // For CreateProcessW to fill; whatever is held is closed first.
    [[nodiscard]] PROCESS_INFORMATION* put() noexcept {
        reset();
        return &info_;
    }
    [[nodiscard]] HANDLE process() const noexcept { return info_.hProcess; }

    void reset() noexcept {
        UniqueHandle process(info_.hProcess);
        UniqueHandle thread(info_.hThread);
        info_ = PROCESS_INFORMATION{};
    }

private:
    PROCESS_INFORMATION info_{};
};
