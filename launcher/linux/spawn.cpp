#include "spawn.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <string>

#include "descriptor.h"
#include "exit_status.h"
#include "report.h"
#include "shared_memory_child.h"

extern char** environ;

namespace launcher::platform {

namespace {

// What the child leaves in the launcher's memory when it cannot become the
// server: the step that failed and its errno.
enum class StartStep : int { none, process_group, input, output, signals, execute };

struct StartFailure {
    StartStep step = StartStep::none;
    int error = 0;
};

// Everything the child needs, prepared before it starts: it runs in the
// launcher's memory, on a stack of its own, while the thread that started
// it waits, and may only make async-signal-safe calls.
struct ChildSetup {
    const char* const* argv = nullptr;
    int input = -1;                              // becomes its standard input, unless -1
    int output = -1;                             // becomes the server's standard output
    std::atomic<pid_t>* server_group = nullptr;  // the guard's: told the own group
    const sigset_t* reset = nullptr;             // back to their default action
    StartFailure* failure = nullptr;             // the launcher's, written on failure
};

// Leaves the failed step and its reason for the launcher; the child's
// status.
int fail_start(const ChildSetup& setup, StartStep step) {
    *setup.failure = StartFailure{step, errno};
    return 127;
}

// The child between clone and execve; what it returns ends it with that
// status (clone(2)). It returns rather than call _exit: the child runs on a
// stack that is not its thread's, and a sanitizer takes a call of a function
// that does not return, made there, for a corrupted stack.
int become_server(const ChildSetup& setup) {
    if (setup.server_group != nullptr) {
        if (::setpgid(0, 0) != 0) {
            return fail_start(setup, StartStep::process_group);
        }
        // The guard stops this group should the launcher die. This process
        // holds the guard's lifeline until it executes (close-on-exec), so
        // the group is known whenever the launcher dies.
        setup.server_group->store(::getpid());
    }
    if (setup.input >= 0 && ::dup2(setup.input, STDIN_FILENO) < 0) {
        return fail_start(setup, StartStep::input);
    }
    if (::dup2(setup.output, STDOUT_FILENO) < 0) {
        return fail_start(setup, StartStep::output);
    }
    // The server starts with every signal at the handling the launcher was
    // given, none blocked, and none of the launcher's own handlers.
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    for (int number = 1; number <= SIGRTMAX; ++number) {
        if (sigismember(setup.reset, number) == 1 &&
            ::sigaction(number, &by_default, nullptr) != 0) {
            return fail_start(setup, StartStep::signals);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    if (const int error = pthread_sigmask(SIG_SETMASK, &none, nullptr); error != 0) {
        errno = error;
        return fail_start(setup, StartStep::signals);
    }
    ::execve(setup.argv[0], const_cast<char* const*>(setup.argv), environ);
    return fail_start(setup, StartStep::execute);
}

extern "C" int start_child(void* setup) {
    return become_server(*static_cast<const ChildSetup*>(setup));
}

// The launcher's words for a failed start, and the shell's status for it.
int report_start_failure(const StartFailure& failure) {
    const std::error_code reason = last_error(failure.error);
    switch (failure.step) {
    case StartStep::process_group:
        report("cannot give the server a process group of its own", reason);
        return launcher_failure;
    case StartStep::input:
        report("cannot connect the server's input to the console", reason);
        return launcher_failure;
    case StartStep::output:
        report("cannot connect the server's output to the launcher", reason);
        return launcher_failure;
    case StartStep::signals:
        report("cannot reset the server's signal handling", reason);
        return launcher_failure;
    case StartStep::none:
    case StartStep::execute:
        report(std::string(cannot_start_command_processor) + " (/bin/sh)", reason);
        return failure.error == ENOENT                               ? command_processor_missing
               : failure.error == EACCES || failure.error == ENOEXEC ? 126
                                                                     : launcher_failure;
    }
    return launcher_failure;
}

}  // namespace

// clone and execve rather than posix_spawn: only a child that runs code of
// the launcher's can tell the guard its group before it executes. The child
// shares the launcher's memory and the launcher's thread waits until it has
// executed or failed (CLONE_VM | CLONE_VFORK, the way posix_spawn starts its
// child): nothing of the launcher's memory is copied, and a failure is
// simply left in `failure`.
StartedServer start_server(const std::string& command_text, int input, int output,
                           std::atomic<pid_t>* server_group, const sigset_t& reset) {
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
    StartFailure failure;
    ChildSetup setup{argv, input, output, server_group, &reset, &failure};
    // The child's stack, for the few calls before execve; only the pages the
    // child uses are ever touched. Static, rather than on the runner's stack:
    // as a thread ends, the C library releases the pages of its stack deeper
    // than 16 KiB with a TLB flush on the processors that run the launcher's
    // memory, and the calls below this stack made the runner's end measurably
    // later. Only the runner starts a server, once.
    alignas(16) static std::array<std::byte, std::size_t{64} * 1024> stack;

    // The launcher runs no signal handler that the child could run before
    // it executes: the taken signals are blocked, and the child unblocks
    // them just before execve.
    const pid_t pid = start_sharing_memory(start_child, stack, CLONE_VFORK | SIGCHLD, &setup);
    const int clone_error = errno;
    if (pid < 0) {
        report("cannot start the server's process", last_error(clone_error));
        return {0, launcher_failure};
    }
    if (failure.step == StartStep::none) {
        return {pid, 0};
    }
    int wait_status = 0;
    if (retry_on_eintr([&] { return ::waitpid(pid, &wait_status, 0); }) < 0) {
        report("cannot collect the process that failed to become the server", last_error());
    }
    return {0, report_start_failure(failure)};
}

}  // namespace launcher::platform
