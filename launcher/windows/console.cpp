// The launcher's own lines on standard output, on Windows. A console gets
// the characters themselves (WriteConsoleW), whatever its code page; a pipe
// or a file gets the bytes that a program of the system writes there: the
// text in the ANSI code page, as the Java runtime writes the server's output
// to the same pipe, with "?" for a character that the code page lacks.
// Line feeds are written as CR LF, as the C runtime's text mode does.
#include <algorithm>
#include <limits>
#include <string>

#include "handle.h"
#include "line_ends.h"
#include "platform.h"
#include "relay.h"

namespace launcher::platform {

namespace {

constexpr DWORD console_chunk = 8 * 1024;  // characters per WriteConsoleW

// The same CR LF rule as the relay's, so that a CR LF stays as it is.
std::wstring with_crlf(std::string_view text) {
    std::string translated;
    LineEndTranslator().translate(text, translated);
    return to_wide(translated);
}

std::error_code write_console(HANDLE console, std::wstring_view text) {
    while (!text.empty()) {
        const auto count = static_cast<DWORD>(std::min<std::size_t>(text.size(), console_chunk));
        DWORD written = 0;
        if (WriteConsoleW(console, text.data(), count, &written, nullptr) == FALSE) {
            return last_windows_error();
        }
        if (written == 0) {
            return std::make_error_code(std::errc::io_error);
        }
        text.remove_prefix(written);
    }
    return {};
}

std::error_code to_ansi(std::wstring_view text, std::string& bytes) {
    if (text.empty()) {
        return {};
    }
    // No look-alike letters for missing characters, but "?"; a system whose
    // ANSI code page is UTF-8 takes no flags at all.
    const DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int length = static_cast<int>(
        std::min<std::size_t>(text.size(), std::numeric_limits<int>::max()));
    const int size = WideCharToMultiByte(CP_ACP, flags, text.data(), length, nullptr, 0, nullptr,
                                         nullptr);
    if (size <= 0) {
        return last_windows_error();
    }
    bytes.resize(static_cast<std::size_t>(size));
    if (WideCharToMultiByte(CP_ACP, flags, text.data(), length, bytes.data(), size, nullptr,
                            nullptr) != size) {
        return last_windows_error();
    }
    return {};
}

}  // namespace

std::error_code write_output(std::string_view text) {
    std::error_code error;
    HANDLE output = standard_handle(STD_OUTPUT_HANDLE, error);
    if (error) {
        return error;
    }
    const std::wstring wide = with_crlf(text);
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode) != FALSE) {
        return write_console(output, wide);
    }
    std::string bytes;
    if (error = to_ansi(wide, bytes); error) {
        return error;
    }
    return write_all(output, bytes);
}

}  // namespace launcher::platform
