// The platform layer for Linux: setenv, and the server started through the
// POSIX shell with its output on a pipe, relayed (relay.h) on a thread of its
// own while the runner passes stop requests on and waits for the job's end
// (signals.h), the guard (guard.h) standing by should the launcher die.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "console.h"
#include "descriptor.h"
#include "exit_status.h"
#include "guard.h"
#include "job.h"
#include "platform.h"
#include "quote.h"
#include "relay.h"
#include "report.h"
#include "signals.h"
#include "spawn.h"

namespace launcher::platform {

namespace {

// Set by prepare_process before any thread starts, read only afterwards.
struct ProcessSetup {
    bool terminal_session = false;
    sigset_t taken{};
    Guard guard;
    std::error_code guard_failure;
};
ProcessSetup process;

// Sets one signal's action, reporting a refusal.
void set_signal_action(int number, void (*action)(int), int flags, const char* why) {
    struct sigaction setting {};
    setting.sa_handler = action;
    setting.sa_flags = flags;
    sigemptyset(&setting.sa_mask);
    if (::sigaction(number, &setting, nullptr) != 0) {
        report(why, last_error());
    }
}

// Whether a directory of `search_path` (PATH) holds an executable `java`.
bool java_on_path(std::string_view search_path) {
    for (;;) {
        const std::size_t colon = search_path.find(':');
        const std::string_view folder = search_path.substr(0, colon);
        // An empty entry is the current folder.
        const std::string java = (folder.empty() ? std::string(".") : std::string(folder)) +
                                 "/java";
        struct stat status {};
        if (::stat(java.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            ::access(java.c_str(), X_OK) == 0) {
            return true;
        }
        if (colon == std::string_view::npos) {
            return false;
        }
        search_path.remove_prefix(colon + 1);
    }
}

ServerEnd server_end_of(int wait_status, std::string_view search_path) {
    if (WIFSIGNALED(wait_status)) {
        const int number = WTERMSIG(wait_status);
        const char* abbreviation = sigabbrev_np(number);
        return {ServerEnd::How::signalled, number, abbreviation != nullptr ? abbreviation : ""};
    }
    const int code = WEXITSTATUS(wait_status);
    // The shell's own statuses for a command it could not run; 127 is also
    // a java whose interpreter is missing, or the server's own code.
    if (code == 127 && !java_on_path(search_path)) {
        return {ServerEnd::How::java_not_found, code, {}};
    }
    if (code == 126) {
        return {ServerEnd::How::java_not_executable, code, {}};
    }
    return {ServerEnd::How::exited, code, {}};
}

// The steps of the server's process before it executes.
enum StartStep : int {
    process_group = 1,
    guard_told,
    input_connected,
    output_connected,
    signals_reset
};

// The launcher's words for a start that failed, and the shell's status.
int report_start_failure(const StartFailure& failure) {
    switch (failure.step) {
    case process_group:
        report("cannot give the server a process group of its own", failure.reason);
        return launcher_failure;
    case guard_told:
        report("cannot tell the guard the server's job", failure.reason);
        return launcher_failure;
    case input_connected:
        report("cannot connect the server's input to the console", failure.reason);
        return launcher_failure;
    case output_connected:
        report("cannot connect the server's output to the launcher", failure.reason);
        return launcher_failure;
    case signals_reset:
        report("cannot reset the server's signal handling", failure.reason);
        return launcher_failure;
    default:
        break;
    }
    report(std::string(cannot_start_command_processor) + " (/bin/sh)", failure.reason);
    const int error = failure.reason.value();
    return error == ENOENT                       ? command_processor_missing
           : error == EACCES || error == ENOEXEC ? 126
                                                 : launcher_failure;
}

// Starts `/bin/sh -c "exec <command_text>"` (the shell becomes the runtime,
// which then gets the signals and whose status is collected) with standard
// output on `output` and standard input on `input` (unless it is -1: the
// launcher's own), in a group of its own unless the job shares the
// launcher's, and tells the guard the job before it executes. Returns its
// id, or 0 with the status to end with; a failure is reported.
pid_t start_server(const std::string& command_text, int input, int output, bool shares_group,
                   int guard_channel, int& status) {
    const std::string script = "exec " + command_text;
    // Linux takes at most 32 pages for one argument, its NUL included
    // (MAX_ARG_STRLEN); execve would only say "Argument list too long".
    const std::size_t argument_limit = std::size_t{32} * static_cast<std::size_t>(::getpagesize());
    if (script.size() + 1 > argument_limit) {
        report("the server command is " + std::to_string(script.size() + 1) +
               " bytes long for the shell, which takes at most " + std::to_string(argument_limit) +
               " in one argument; the server is not started");
        status = launcher_failure;
        return 0;
    }
    const char* const argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    const auto prepare = [&]() -> int {
        if (!shares_group && ::setpgid(0, 0) != 0) {
            return process_group;
        }
        // This process holds the launcher's end of the guard's socket until
        // it executes, so the guard knows the job whenever the launcher dies.
        if (!tell_guard(guard_channel, ::getpid(), ::getpgrp(), shares_group)) {
            return guard_told;
        }
        if (input >= 0 && ::dup2(input, STDIN_FILENO) < 0) {
            return input_connected;
        }
        if (::dup2(output, STDOUT_FILENO) < 0) {
            return output_connected;
        }
        // The server starts with no signal blocked, and with the default
        // action for those the launcher ignores for itself.
        struct sigaction by_default {};
        by_default.sa_handler = SIG_DFL;
        sigset_t none;
        sigemptyset(&none);
        if (::sigaction(SIGPIPE, &by_default, nullptr) != 0 ||
            ::sigaction(SIGXFSZ, &by_default, nullptr) != 0) {
            return signals_reset;
        }
        if (const int error = pthread_sigmask(SIG_SETMASK, &none, nullptr); error != 0) {
            errno = error;
            return signals_reset;
        }
        return 0;
    };
    StartedChild child;
    if (const std::error_code error = start_child(child, argv[0], argv, prepare)) {
        report("cannot start the server's process", error);
        status = launcher_failure;
        return 0;
    }
    if (const auto failure = await_execution(child)) {
        status = report_start_failure(*failure);
        return 0;
    }
    return child.pid;
}

// What the runner sets up before the server starts, so that a failure ends
// the launcher before there is a server.
struct RunnerSetup {
    Pipe output;              // the server's standard output
    FileDescriptor signals;   // a signalfd of the taken signals
    FileDescriptor job_over;  // an eventfd: the server's job has ended
};

bool set_up_runner(RunnerSetup& setup) {
    if (process.guard_failure) {
        report("cannot start the guard of the server's job", process.guard_failure);
        return false;
    }
    if (const std::error_code error = make_pipe(setup.output)) {
        report("cannot create a pipe for the server's output", error);
        return false;
    }
    setup.signals = FileDescriptor(::signalfd(-1, &process.taken, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!setup.signals.valid()) {
        report("cannot take the signals for the server", last_error());
        return false;
    }
    setup.job_over = FileDescriptor(::eventfd(0, EFD_CLOEXEC));
    if (!setup.job_over.valid()) {
        report("cannot create the event that says the server's job has ended", last_error());
        return false;
    }
    // Orphans of the server's job come to the launcher rather than to
    // process 1, so that the job stays among the launcher's descendants.
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        report("cannot become the reaper of the server's orphans", last_error());
        return false;
    }
    return true;
}

}  // namespace

void prepare_process() {
    // The launcher's threads allocate little: one allocation arena for all,
    // rather than one mapped (128 MiB of address space) for each thread
    // that allocates or frees. A hint only; before any thread starts.
    (void)::mallopt(M_ARENA_MAX, 1);  // NOLINT(concurrency-mt-unsafe)
    // A descriptor among 0 to 2 that is closed would be reused by the pipe
    // and confuse it with the console; keep them taken.
    for (int fd = 0; fd <= 2; ++fd) {
        // Without O_CLOEXEC: it stands in for the standard descriptor, for
        // the server too.
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF &&
            ::open("/dev/null", O_RDWR) < 0) {  // NOLINT(android-cloexec-open)
            report("cannot open /dev/null in place of a closed standard descriptor", last_error());
        }
    }
    // A closed standard output, or one past the file size limit, must not
    // end the launcher while the server runs: the write fails instead, and
    // the failure is reported.
    set_signal_action(SIGPIPE, SIG_IGN, 0,
                      "cannot ignore SIGPIPE; a closed output may end the launcher");
    set_signal_action(SIGXFSZ, SIG_IGN, 0,
                      "cannot ignore SIGXFSZ; a full output may end the launcher");
    // Inherited "ignore" for SIGCHLD would make the system collect the server
    // itself, and its exit status would be lost. A child that stops or
    // continues (Ctrl-Z) need not wake the runner.
    set_signal_action(SIGCHLD, SIG_DFL, SA_NOCLDSTOP,
                      "cannot reset SIGCHLD; the server's status may be lost");
    // Signals blocked by whoever started the launcher would never reach the
    // runner; until it starts, they keep their default action.
    sigset_t none;
    sigemptyset(&none);
    if (const int error = pthread_sigmask(SIG_SETMASK, &none, nullptr); error != 0) {
        report("cannot unblock signals", last_error(error));
    }
    process.terminal_session = in_terminal_session();
    process.taken = signals_to_take();
}

void start_runner() {
    // The taken signals wait for the runner from now on, in every thread
    // (the threads started later inherit the mask); until the runner reads
    // them, those taken before the server starts are kept, not lost.
    if (const int error = pthread_sigmask(SIG_BLOCK, &process.taken, nullptr); error != 0) {
        report("cannot take the signals for the server", last_error(error));
    }
    // Before any thread starts, so that the fork copies one thread, and with
    // those signals blocked already, so that none ends the guard before it
    // blocks every signal; a failure is reported when the server would start.
    process.guard_failure = start_guard(process.guard);
}

std::error_code set_environment(const char* name, const char* value) {
    // The entry point sets the environment before any thread starts.
    if (::setenv(name, value, 1) != 0) {  // NOLINT(concurrency-mt-unsafe)
        return last_error();
    }
    return {};
}

std::string quote_argument(std::string_view word) {
    return quote_for_posix_shell(word);
}

std::error_code write_output(std::string_view text) {
    return write_all(STDOUT_FILENO, text);
}

int run_server(const std::string& command_text, ServerConsole* console) {
    RunnerSetup setup;
    if (!set_up_runner(setup)) {
        dismiss_guard(process.guard);
        return launcher_failure;
    }
    // Read before the relay's thread starts; nothing sets it any more.
    const char* search_path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
    Watch watch;
    watch.job.launcher = ::getpid();
    watch.job.shares_group = process.terminal_session;
    watch.signals = setup.signals.get();
    watch.job_over = setup.job_over.get();
    watch.guard = process.guard.channel.get();
    watch.session_leader = ::getsid(0);
    watch.leads_session = watch.session_leader == watch.job.launcher;

    // The console's thread starts with the signals blocked, as they are here.
    if (console != nullptr) {
        if (const std::error_code error = console->start()) {
            report("cannot set up the server's console input", error);
            dismiss_guard(process.guard);
            return launcher_failure;
        }
    }
    int status = launcher_failure;
    const pid_t server = start_server(
        command_text, console != nullptr ? console->server_input() : -1, setup.output.write.get(),
        watch.job.shares_group, process.guard.channel.get(), status);
    setup.output.write.reset();
    if (console != nullptr) {
        console->server_started();
    }
    if (server == 0) {
        dismiss_guard(process.guard);
        return status;
    }
    watch.job.server = server;
    watch.job.group = watch.job.shares_group ? ::getpgrp() : server;

    // The relay has a thread of its own, so that an output that blocks
    // never holds up a stop request; this thread watches the job.
    bool relayed = true;
    const auto relay_output = [&] {
        relayed = relay(setup.output.read.get(), STDOUT_FILENO, setup.job_over.get());
        setup.output.read.reset();
        if (!relayed) {
            // The server's output has nowhere to go: the job is stopped,
            // and the launcher ends with it.
            (void)signal_job(watch.job, SIGTERM);
        }
    };
    std::thread relay_thread;
    try {
        relay_thread = std::thread(relay_output);
    } catch (const std::system_error& error) {
        report("cannot start the relay of the server's output; the server is stopped",
               error.code());
        relayed = false;
        // The server gets EPIPE rather than block on a full pipe while it
        // stops.
        setup.output.read.reset();
        (void)signal_job(watch.job, SIGTERM);
    }
    watch_job(watch);
    if (relay_thread.joinable()) {
        relay_thread.join();
    }
    if (watch.failed) {
        // Nothing more can be learnt of the job: the guard stops what is
        // left of it as the launcher ends.
        return launcher_failure;
    }
    collect_guard(process.guard);
    if (!relayed) {
        return launcher_failure;
    }
    const ServerEnd end = server_end_of(
        watch.wait_status, search_path != nullptr ? search_path : "/usr/local/bin:/usr/bin:/bin");
    explain_server_end(end);
    return exit_status(end);
}

}  // namespace launcher::platform
