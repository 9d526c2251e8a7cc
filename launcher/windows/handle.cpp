#include "handle.h"

#include "utf16.h"

namespace launcher::platform {

namespace {

class WindowsCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "windows"; }

    std::string message(int code) const override {
        // In the ANSI code page, like the rest of what goes to standard
        // error through the C runtime.
        char text[512];
        const DWORD length = FormatMessageA(
            FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
        std::string message(text, length);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                    message.back() == ' ' || message.back() == '.')) {
            message.pop_back();
        }
        if (message.empty()) {
            message = "error " + std::to_string(static_cast<DWORD>(code));
        }
        return message;
    }
};

}  // namespace

std::error_code windows_error(DWORD code) {
    static const WindowsCategory category;
    return {static_cast<int>(code), category};
}

std::error_code last_windows_error() {
    return windows_error(GetLastError());
}

// wchar_t is a UTF-16 code unit on Windows.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::wstring to_wide(std::string_view text) {
    const std::u16string wide = utf8_to_utf16(text);
    return {wide.begin(), wide.end()};
}

std::string to_utf8(std::wstring_view text) {
    return utf16_to_utf8(std::u16string(text.begin(), text.end()));
}

HANDLE standard_handle(DWORD which, std::error_code& error) {
    HANDLE handle = GetStdHandle(which);
    if (handle == INVALID_HANDLE_VALUE) {
        error = last_windows_error();
        return nullptr;
    }
    if (handle == nullptr) {
        error = windows_error(ERROR_INVALID_HANDLE);
    }
    return handle;
}

}  // namespace launcher::platform
