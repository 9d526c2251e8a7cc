// The platform layer for Windows: the C runtime's _putenv; cmd.exe started
// on the UTF-16 command text (spawn.h) with its standard output on a pipe,
// inside a job object (job.h); the server's output relayed with CR LF line
// ends (relay.h); and a console-control handler that keeps the launcher alive
// while the server stops (signals.h).
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "exit_status.h"
#include "handle.h"
#include "job.h"
#include "platform.h"
#include "quote.h"
#include "relay.h"
#include "report.h"
#include "runtime.h"
#include "signals.h"
#include "spawn.h"

namespace launcher::platform {

namespace {

// The status cmd.exe ends with when it finds no program of the name.
constexpr DWORD command_not_found = 9009;

// Tells the console-control handler that the server is done with, on every
// way out of the runner.
class ServerEndedSignal {
public:
    ServerEndedSignal() = default;
    ServerEndedSignal(const ServerEndedSignal&) = delete;
    ServerEndedSignal& operator=(const ServerEndedSignal&) = delete;
    ServerEndedSignal(ServerEndedSignal&&) = delete;
    ServerEndedSignal& operator=(ServerEndedSignal&&) = delete;
    ~ServerEndedSignal() { server_has_ended(); }
};

// cmd.exe ends with 9009 when it finds no java, and so may the server, or a
// batch-file java, which runs in cmd.exe's own process: java was there when
// the launcher's own search found it, or ran when the job held a process
// beyond cmd.exe. Without a job's counts, the rest decides.
bool java_did_not_run(DWORD status, HANDLE job) {
    if (status != command_not_found || !java_search().path.empty()) {
        return false;
    }
    const std::optional<JobCounts> counts = job_counts(job);
    return !counts || counts->total <= 1;
}

// cmd.exe ends with the status of the command it ran: the server's.
int wait_for_server(HANDLE process, HANDLE job) {
    DWORD status = 0;
    if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 ||
        GetExitCodeProcess(process, &status) == FALSE) {
        report(cannot_collect_status, last_windows_error());
        return launcher_failure;
    }
    const ServerEnd end{
        java_did_not_run(status, job) ? ServerEnd::How::java_not_found : ServerEnd::How::exited,
        static_cast<int>(status),
        {}};
    explain_server_end(end);
    return exit_status(end);
}

}  // namespace

void start_runner() {
    // Console control events come on a thread of the system's own.
}

void prepare_process() {
    install_console_control_handler();
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
    // character it escapes. A batch file's arguments pass through cmd twice.
    return java_is_batch_file() ? quote_for_cmd_and_batch(word) : quote_for_cmd(word);
}

// Never made: open_console refuses.
class ServerConsole {};

void ServerConsoleDeleter::operator()(ServerConsole* console) const {
    delete console;  // NOLINT(cppcoreguidelines-owning-memory)
}

ServerConsoleOwner open_console(const std::string& path) {
    report("cannot use '" + path +
           "' as the console: a named-pipe console is not part of the launcher for Windows");
    return {};
}

int run_server(const std::string& command_text, ServerConsole* /*console*/) {
    // Declared first, so that it signals after the job and the process
    // handles are gone.
    const ServerEndedSignal signal_server_ended;
    if (!runtime_receives_exactly(command_text)) {
        return launcher_failure;
    }
    const StartedServer server = start_server(command_text);
    if (!server.process.valid()) {
        return server.status;
    }
    // Without a standard output the relay reports the first write that fails,
    // and drops the rest.
    std::error_code no_output;
    relay(server.output.get(), standard_handle(STD_OUTPUT_HANDLE, no_output), server.process.get(),
          server.job.get());
    // Whatever the server left running ends with the job, when it closes.
    return wait_for_server(server.process.get(), server.job.get());
}

}  // namespace launcher::platform
