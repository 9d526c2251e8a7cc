// What the Windows files of the platform layer share: an owner for kernel
// handles, the system's reason for a failed call, and the one conversion
// between the program's UTF-8 and the UTF-16 of Windows' wide interfaces.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace launcher::platform {

// Owns one kernel handle (a process, thread, pipe end, job) and closes it.
// Both NULL and INVALID_HANDLE_VALUE mean "none", as functions differ in
// which one they return on failure.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.handle_, nullptr));
        }
        return *this;
    }
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle = nullptr) {
        if (valid()) {
            CloseHandle(handle_);
        }
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// GetLastError's code, with the system's own text for it as message.
std::error_code last_windows_error();
std::error_code windows_error(DWORD code);

// Writes all of `bytes` to `file` (WriteFile until done); the system's
// reason when it cannot take them (standard output closed, a full disk).
std::error_code write_all(HANDLE file, std::string_view bytes);

// The program's UTF-8 text as UTF-16 for a wide interface, and back (see
// utf16.h for what happens to malformed input).
std::wstring to_wide(std::string_view text);
std::string to_utf8(std::wstring_view text);

}  // namespace launcher::platform
