#include "spawn.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "descriptor.h"
#include "exit_status.h"
#include "report.h"

extern char** environ;

namespace launcher::platform {

namespace {

// What the child reports on the start pipe when it cannot become the
// server: the step that failed and its errno.
enum class StartStep : int { process_group, guard, output, signals, execute };

struct StartFailure {
    StartStep step = StartStep::execute;
    int error = 0;
};

// Everything the child needs, prepared before fork: after it, the child of a
// threaded process may only make async-signal-safe calls.
struct ChildSetup {
    const char* const* argv = nullptr;
    int output = -1;        // becomes the server's standard output
    int start_report = -1;  // close-on-exec: end of file once execve succeeded
    int guard = -1;         // the guard's lifeline: told the server's group
    bool own_group = false;
    const sigset_t* reset = nullptr;  // back to their default action
};

[[noreturn]] void fail_start(const ChildSetup& setup, StartStep step) {
    const StartFailure failure{step, errno};
    (void)::write(setup.start_report, &failure, sizeof failure);
    ::_exit(127);
}

// The child between fork and execve.
[[noreturn]] void become_server(const ChildSetup& setup) {
    if (setup.own_group) {
        if (::setpgid(0, 0) != 0) {
            fail_start(setup, StartStep::process_group);
        }
        // The guard stops this group should the launcher die; it holds on
        // until this process has executed (the lifeline is close-on-exec),
        // so it knows the group whenever the launcher dies.
        const pid_t group = ::getpid();
        if (::write(setup.guard, &group, sizeof group) != sizeof group) {
            fail_start(setup, StartStep::guard);
        }
    }
    if (::dup2(setup.output, STDOUT_FILENO) < 0) {
        fail_start(setup, StartStep::output);
    }
    // The server starts with every signal at the handling the launcher was
    // given, none blocked, and none of the launcher's own handlers.
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    for (int number = 1; number <= SIGRTMAX; ++number) {
        if (sigismember(setup.reset, number) == 1 &&
            ::sigaction(number, &by_default, nullptr) != 0) {
            fail_start(setup, StartStep::signals);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    if (const int error = pthread_sigmask(SIG_SETMASK, &none, nullptr); error != 0) {
        errno = error;
        fail_start(setup, StartStep::signals);
    }
    ::execve(setup.argv[0], const_cast<char* const*>(setup.argv), environ);
    fail_start(setup, StartStep::execute);
}

// The launcher's words for a failed start, and the shell's status for it.
int report_start_failure(const StartFailure& failure) {
    const std::error_code reason = last_error(failure.error);
    switch (failure.step) {
    case StartStep::process_group:
        report("cannot give the server a process group of its own", reason);
        return launcher_failure;
    case StartStep::guard:
        report("cannot tie the server to the launcher's life", reason);
        return launcher_failure;
    case StartStep::output:
        report("cannot connect the server's output to the launcher", reason);
        return launcher_failure;
    case StartStep::signals:
        report("cannot reset the server's signal handling", reason);
        return launcher_failure;
    case StartStep::execute:
        report(std::string(cannot_start_command_processor) + " (/bin/sh)", reason);
        return failure.error == ENOENT                               ? command_processor_missing
               : failure.error == EACCES || failure.error == ENOEXEC ? 126
                                                                     : launcher_failure;
    }
    return launcher_failure;
}

}  // namespace

// fork and execve rather than posix_spawn: only a child that runs code of
// the launcher's can tell the guard its group before it executes.
StartedServer start_server(const std::string& command_text, int output, int guard, bool own_group,
                           const sigset_t& reset) {
    // exec replaces the shell by the runtime, so that the runtime itself is
    // the process that gets the signals and whose status is collected.
    const std::string script = "exec " + command_text;
    // Linux takes at most 32 pages for one argument, its NUL included
    // (MAX_ARG_STRLEN); execve would only say "Argument list too long".
    const std::size_t argument_limit = std::size_t{32} * static_cast<std::size_t>(::getpagesize());
    if (script.size() + 1 > argument_limit) {
        report("the server command is " + std::to_string(script.size() + 1) +
               " bytes long for the shell, which takes at most " + std::to_string(argument_limit) +
               " in one argument; the server is not started");
        return {0, launcher_failure};
    }
    const char* const argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};

    Pipe start_report;
    if (const std::error_code error = make_pipe(start_report)) {
        report("cannot create a pipe for starting the server", error);
        return {0, launcher_failure};
    }
    const ChildSetup setup{argv, output, start_report.write.get(), guard, own_group, &reset};

    // No signal may run a launcher's handler in the child before it has
    // reset them.
    sigset_t all;
    sigfillset(&all);
    sigset_t earlier;
    int error = pthread_sigmask(SIG_SETMASK, &all, &earlier);
    if (error != 0) {
        report("cannot hold signals while the server starts", last_error(error));
        return {0, launcher_failure};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        become_server(setup);
    }
    const int fork_error = errno;
    error = pthread_sigmask(SIG_SETMASK, &earlier, nullptr);
    if (error != 0) {
        report("cannot let signals through again", last_error(error));
    }
    if (pid < 0) {
        report("cannot start the server's process", last_error(fork_error));
        return {0, launcher_failure};
    }

    start_report.write.reset();
    StartFailure failure;
    const ssize_t got = retry_on_eintr(
        [&] { return ::read(start_report.read.get(), &failure, sizeof failure); });
    if (got == 0) {
        return {pid, 0};
    }
    const int read_error = errno;
    int wait_status = 0;
    if (retry_on_eintr([&] { return ::waitpid(pid, &wait_status, 0); }) < 0) {
        report("cannot collect the process that failed to become the server", last_error());
    }
    if (got != sizeof failure) {
        report("cannot tell whether the server started", last_error(got < 0 ? read_error : EIO));
        return {0, launcher_failure};
    }
    return {0, report_start_failure(failure)};
}

}  // namespace launcher::platform
