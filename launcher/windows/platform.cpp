// The platform layer for Windows: the C runtime's _putenv; cmd.exe started
// with CreateProcessW on the UTF-16 command text, with its standard output on
// a pipe and inside a job object that ends it with the launcher; a binary
// relay of the server's output; and a console-control handler that keeps the
// launcher alive while the server stops.
#include "windows_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "line_ends.h"
#include "platform.h"
#include "quote.h"
#include "report.h"

namespace launcher::platform {

namespace {

constexpr int launcher_failure = EXIT_FAILURE;
constexpr int command_processor_missing = 127;
constexpr DWORD relay_chunk_size = 64 * 1024;

// cmd.exe takes a command of at most 8191 characters ("Command prompt
// (Cmd.exe) command-line string limitation" in the Windows documentation);
// a longer one is cut or refused without the program being started.
constexpr std::size_t cmd_line_limit = 8191;

// The status cmd.exe ends with when it finds no program of the name.
constexpr DWORD command_not_found = 9009;

// Signalled once the server has ended or will not be started; made by
// prepare_process before the console-control handler is installed.
UniqueHandle server_ended;  // NOLINT(cert-err58-cpp): constructing it cannot throw

// Ctrl-C and Ctrl-Break go to every process attached to the console, the
// server included, which decides itself how to stop. The launcher ignores
// them, relays what the server still prints and passes its status on.
// The other events (the console closing, logoff, shutdown) reach the server
// too, and the system gives every process some seconds before it ends them.
// The launcher's own end would end the server at once, through the job, so
// the handler (which runs on a thread of its own) waits for the server and
// only then lets the event take its default course.
BOOL WINAPI on_console_control(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        return TRUE;
    }
    // Should the wait fail, the event takes its course at once: there is
    // nothing better to do, and no one to tell.
    if (server_ended.valid()) {
        static_cast<void>(WaitForSingleObject(server_ended.get(), INFINITE));
    }
    return FALSE;
}

// Signals server_ended when the runner is done with the server, on every
// way out of it.
class ServerEndedSignal {
public:
    ServerEndedSignal() = default;
    ServerEndedSignal(const ServerEndedSignal&) = delete;
    ServerEndedSignal& operator=(const ServerEndedSignal&) = delete;
    ~ServerEndedSignal() {
        if (server_ended.valid() && SetEvent(server_ended.get()) == FALSE) {
            report("cannot signal the server's end to the console-control handler",
                   last_windows_error());
        }
    }
};

// The command that cmd.exe gets after /c: the text in quotes, which /s
// strips again. The quotes count towards cmd's limit.
std::wstring cmd_command(const std::string& command_text) {
    return L"\"" + to_wide(command_text) + L"\"";
}

// cmd.exe of the system folder, not %ComSpec%: the quoting is made for
// cmd.exe and no other command processor.
bool cmd_path(std::wstring& path, std::error_code& error) {
    std::vector<wchar_t> folder(MAX_PATH);
    for (;;) {
        const UINT length = GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
        if (length == 0) {
            error = last_windows_error();
            return false;
        }
        if (length < folder.size()) {
            path.assign(folder.data(), length);
            path += L"\\cmd.exe";
            return true;
        }
        folder.resize(length);
    }
}

// A job object that ends every process in it when its last handle closes,
// that is when the launcher ends, however it ends. A process in it may still
// leave it on purpose (CREATE_BREAKAWAY_FROM_JOB).
UniqueHandle create_kill_on_close_job(std::error_code& error) {
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job.valid()) {
        error = last_windows_error();
        return {};
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                              JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                sizeof limits) == FALSE) {
        error = last_windows_error();
        return {};
    }
    return job;
}

// An inheritable duplicate of one of the launcher's standard handles, for
// the command processor; none when the launcher has none.
UniqueHandle inheritable_standard_handle(DWORD which) {
    const HANDLE original = GetStdHandle(which);
    if (original == nullptr || original == INVALID_HANDLE_VALUE) {
        return {};
    }
    HANDLE duplicate = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &duplicate, 0, TRUE,
                        DUPLICATE_SAME_ACCESS) == FALSE) {
        report("cannot pass a standard handle on to the server", last_windows_error());
        return {};
    }
    return UniqueHandle(duplicate);
}

// Copies the server's output from `from` to `to` until it ends, each piece as
// soon as it is read, with line feeds made CR LF; no byte (a Ctrl-Z, a NUL)
// ends it early. When `to` fails, the rest is still read and dropped, so
// that the server never blocks on a full pipe; a read error ends the relay.
void relay(HANDLE from, HANDLE to) {
    std::vector<char> buffer(relay_chunk_size);
    std::string translated;
    translated.reserve(2 * buffer.size());
    LineEndTranslator line_ends;
    bool writing = true;
    for (;;) {
        DWORD got = 0;
        if (ReadFile(from, buffer.data(), relay_chunk_size, &got, nullptr) == FALSE) {
            const DWORD error = GetLastError();
            if (error != ERROR_BROKEN_PIPE) {  // the end: every writer is gone
                report("cannot read the server's output", windows_error(error));
            }
            return;
        }
        if (got == 0 || !writing) {
            continue;
        }
        translated.clear();
        line_ends.translate(std::string_view(buffer.data(), got), translated);
        if (const std::error_code error = write_all(to, translated)) {
            report("cannot write to standard output; the server's further output is dropped",
                   error);
            writing = false;
        }
    }
}

int start_failure(const std::error_code& error) {
    report("cannot start the command processor", error);
    const auto code = static_cast<DWORD>(error.value());
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? command_processor_missing
                                                                        : launcher_failure;
}

}  // namespace

void prepare_process() {
    server_ended.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!server_ended.valid()) {
        report("cannot create an event; closing the console may cut the server's shutdown short",
               last_windows_error());
    }
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
        return {errno, std::generic_category()};
    }
    return {};
}

std::string quote_argument(std::string_view word) {
    // Quoting the UTF-8 text is quoting the characters: in UTF-8 every byte
    // of a character beyond ASCII is 0x80 or above, so none of them is a
    // quote, caret or other character that cmd.exe or the C runtime looks
    // at, and the conversion to UTF-16 keeps every escape next to the
    // character it escapes.
    return quote_for_cmd(word);
}

int run_server(const std::string& command_text) {
    // Declared first, so that it signals after the job and the process
    // handles are gone.
    const ServerEndedSignal signal_server_ended;
    const std::wstring command = cmd_command(command_text);
    if (command.size() > cmd_line_limit) {
        report("the server command is " + std::to_string(command.size()) +
               " characters long for the command processor, which takes at most " +
               std::to_string(cmd_line_limit) + "; the server is not started");
        return launcher_failure;
    }

    std::error_code error;
    std::wstring application;
    if (!cmd_path(application, error)) {
        return start_failure(error);
    }
    std::wstring command_line = L"\"" + application + L"\" /d /v:off /s /c " + command;

    // The server's standard output: a pipe whose write end only the command
    // processor inherits.
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof inheritable;
    inheritable.bInheritHandle = TRUE;
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (CreatePipe(&read_end, &write_end, &inheritable, 0) == FALSE) {
        report("cannot create the pipe for the server's output", last_windows_error());
        return launcher_failure;
    }
    const UniqueHandle server_output(read_end);
    UniqueHandle server_output_writer(write_end);
    if (SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0) == FALSE) {
        report("cannot keep the pipe's read end from the server", last_windows_error());
        return launcher_failure;
    }

    const UniqueHandle input = inheritable_standard_handle(STD_INPUT_HANDLE);
    const UniqueHandle errors = inheritable_standard_handle(STD_ERROR_HANDLE);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = write_end;
    startup.hStdError = errors.get();

    // Suspended, so that it is in the job before it runs a single
    // instruction, and so is everything it starts.
    PROCESS_INFORMATION information{};
    if (CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                       CREATE_SUSPENDED, nullptr, nullptr, &startup, &information) == FALSE) {
        return start_failure(last_windows_error());
    }
    const UniqueHandle process(information.hProcess);
    const UniqueHandle thread(information.hThread);
    // The launcher's copy would keep the pipe open after the server ended.
    server_output_writer.reset();

    // A job that cannot be had (on systems before Windows 8 a process that
    // is in a job already cannot join another) costs only the clean-up.
    UniqueHandle job = create_kill_on_close_job(error);
    if (job.valid() && AssignProcessToJobObject(job.get(), process.get()) == FALSE) {
        error = last_windows_error();
        job.reset();
    }
    if (!job.valid()) {
        report("warning: cannot put the server into a job object; it may outlive the launcher",
               error);
    }

    if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        report("cannot start the command processor", last_windows_error());
        if (TerminateProcess(process.get(), launcher_failure) == FALSE) {
            report("cannot end the suspended command processor", last_windows_error());
        }
        return launcher_failure;
    }

    relay(server_output.get(), GetStdHandle(STD_OUTPUT_HANDLE));

    // cmd.exe ends with the status of the command it ran: the server's.
    DWORD status = 0;
    if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
        GetExitCodeProcess(process.get(), &status) == FALSE) {
        report("cannot collect the server's exit status", last_windows_error());
        return launcher_failure;
    }
    if (status == command_not_found) {
        report(
            "the command processor did not find \"java\" (status 9009): install a Java "
            "runtime and put the folder that holds java.exe on PATH, or start the launcher "
            "where \"java -version\" works");
    }
    // Whatever the server left running ends with the job, when it closes.
    return static_cast<int>(status);
}

}  // namespace launcher::platform
