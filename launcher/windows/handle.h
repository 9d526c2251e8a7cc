// What the Windows files of the platform layer share: an owner for kernel
// handles, the system's reason for a failed call, the launcher's standard
// handles, and the one conversion between the program's UTF-8 and the UTF-16
// of Windows' wide interfaces.
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

// One of the launcher's standard handles (STD_INPUT_HANDLE, ...); the
// system's reason when it has none (a program started without a console
// and without redirection).
HANDLE standard_handle(DWORD which, std::error_code& error);

// The program's UTF-8 text as UTF-16 for a wide interface, and back (see
// utf16.h for what happens to malformed input).
std::wstring to_wide(std::string_view text);
std::string to_utf8(std::wstring_view text);

}  // namespace launcher::platform
