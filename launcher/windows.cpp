// The platform layer for Windows: the C runtime's _putenv and its
// command-processor pipe (_popen, which starts cmd.exe), a binary relay of
// the server's output and a console-control handler that keeps the launcher
// alive while the server stops.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "line_ends.h"
#include "platform.h"
#include "quote.h"
#include "report.h"

namespace launcher::platform {

namespace {

constexpr int launcher_failure = EXIT_FAILURE;
constexpr int command_processor_missing = 127;
constexpr std::size_t relay_chunk_size = 64 * 1024;

// The C runtime reports through errno, with errno's own numbers.
std::error_code runtime_error(int error = errno) {
    return {error, std::generic_category()};
}

// Codes of GetLastError, with the system's own text for them.
class WindowsCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "windows"; }

    std::string message(int code) const override {
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

std::error_code last_windows_error() {
    static const WindowsCategory category;
    return {static_cast<int>(GetLastError()), category};
}

// Ctrl-C and Ctrl-Break go to every process attached to the console, the
// server included, which decides itself how to stop. The launcher ignores
// them, relays what the server still prints and passes its status on. Any
// other event (the console closing, logoff, shutdown) takes its default
// course.
BOOL WINAPI on_console_control(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

// The stream of _popen: the command processor with its standard output on a
// pipe. Closing it waits for the command processor to end.
class CommandPipe {
public:
    explicit CommandPipe(const std::string& command_text)
        // Binary, so that the C runtime does not take a Ctrl-Z byte for the
        // end of the output, nor change line ends.
        : stream_(_popen(command_text.c_str(), "rb")) {}
    CommandPipe(const CommandPipe&) = delete;
    CommandPipe& operator=(const CommandPipe&) = delete;
    ~CommandPipe() {
        if (stream_ != nullptr) {
            _pclose(stream_);
        }
    }

    bool is_open() const { return stream_ != nullptr; }
    int descriptor() const { return _fileno(stream_); }

    // Closes the pipe and waits for the command processor to end. Returns its
    // exit status, or -1 with errno set when it cannot be collected.
    int close() { return _pclose(std::exchange(stream_, nullptr)); }

private:
    FILE* stream_;
};

// Writes all of `data` to the descriptor `fd`. False, with `error` set, when
// it cannot take it (standard output closed, a full disk).
bool write_all(int fd, std::string_view data, std::error_code& error) {
    while (!data.empty()) {
        const auto count = static_cast<unsigned int>(
            std::min<std::size_t>(data.size(), std::numeric_limits<int>::max()));
        errno = 0;
        const int written = _write(fd, data.data(), count);
        if (written <= 0) {
            error = written < 0 && errno != 0 ? runtime_error()
                                              : std::make_error_code(std::errc::io_error);
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Copies the server's output from `from` to `to` until it ends, each piece as
// soon as it is read, with line feeds made CR LF. When `to` fails, the rest
// is still read and dropped, so that the server never blocks on a full pipe;
// a read error ends the relay.
void relay(int from, int to) {
    std::vector<char> buffer(relay_chunk_size);
    std::string translated;
    translated.reserve(2 * buffer.size());
    LineEndTranslator line_ends;
    bool writing = true;
    for (;;) {
        const int got = _read(from, buffer.data(), static_cast<unsigned int>(buffer.size()));
        if (got == 0) {
            return;
        }
        if (got < 0) {
            report("cannot read the server's output", runtime_error());
            return;
        }
        if (!writing) {
            continue;
        }
        translated.clear();
        line_ends.translate(std::string_view(buffer.data(), static_cast<std::size_t>(got)),
                            translated);
        std::error_code error;
        if (!write_all(to, translated, error)) {
            report("cannot write to standard output; the server's further output is dropped",
                   error);
            writing = false;
        }
    }
}

}  // namespace

void prepare_process() {
    if (SetConsoleCtrlHandler(on_console_control, TRUE) == FALSE) {
        report("cannot install the console-control handler; Ctrl-C ends the launcher too",
               last_windows_error());
    }
}

std::error_code set_environment(const char* name, const char* value) {
    // _putenv copies the assignment and sets the variable for the process
    // itself, so that the command processor and the server inherit it.
    const std::string assignment = std::string(name) + "=" + value;
    if (_putenv(assignment.c_str()) != 0) {
        return runtime_error();
    }
    return {};
}

std::string quote_argument(std::string_view word) {
    return quote_for_cmd(word);
}

int run_server(const std::string& command_text) {
    // The start-up lines went out in text mode and were flushed before this
    // thread started. From here on the relay writes the server's bytes
    // itself, its line ends already translated; text mode would turn CR LF
    // into CR CR LF. (This fails only when there is no standard output, and
    // then every write fails and is reported.)
    const int output = _fileno(stdout);
    _setmode(output, _O_BINARY);

    errno = 0;
    CommandPipe server(command_text);
    if (!server.is_open()) {
        const int error = errno;
        report("cannot start the command processor", runtime_error(error));
        return error == ENOENT ? command_processor_missing : launcher_failure;
    }

    relay(server.descriptor(), output);

    // cmd.exe ends with the status of the command it ran: the server's.
    errno = 0;
    const int status = server.close();
    if (status == -1 && errno != 0) {
        report("cannot collect the server's exit status", runtime_error());
        return launcher_failure;
    }
    return status;
}

std::error_code write_output(std::string_view text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        return std::make_error_code(std::errc::io_error);
    }
    return {};
}

}  // namespace launcher::platform
