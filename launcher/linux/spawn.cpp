#include "spawn.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

extern char** environ;

namespace launcher::platform {

namespace {

struct FailureReport {
    int step = 0;
    int error = 0;
};

}  // namespace

namespace {

// The child's life between vfork and execve: it ends in one of them, never
// returns.
[[noreturn]] void become(const char* path, const char* const* argv,
                         const std::function<int()>& prepare, int report) {
    FailureReport failure{prepare(), 0};
    if (failure.step == 0) {
        ::execve(path, const_cast<char* const*>(argv), environ);
    }
    failure.error = errno;
    (void)!::write(report, &failure, sizeof failure);
    ::_exit(127);
}

// vfork rather than fork: nothing of the launcher's memory is copied, and no
// page of it faults for a copy afterwards, which shows in the start-up.
// The thread that calls it waits until the child has executed or ended; the
// launcher runs no signal handler that the child could run meanwhile.
pid_t start_process(const char* path, const char* const* argv, const std::function<int()>& prepare,
                    int report) {
    const pid_t pid = ::vfork();
    if (pid == 0) {
        become(path, argv, prepare, report);
    }
    return pid;
}

}  // namespace

std::error_code start_child(StartedChild& child, const char* path, const char* const* argv,
                            const std::function<int()>& prepare) {
    Pipe report;
    if (const std::error_code error = make_pipe(report)) {
        return error;
    }
    const pid_t pid = start_process(path, argv, prepare, report.write.get());
    if (pid < 0) {
        return last_error();
    }
    child.pid = pid;
    child.report = std::move(report.read);
    return {};
}

std::optional<StartFailure> await_execution(StartedChild& child) {
    FailureReport failure;
    const ssize_t got = retry_on_eintr(
        [&] { return ::read(child.report.get(), &failure, sizeof failure); });
    const int read_error = errno;
    child.report.reset();
    if (got == 0) {
        return std::nullopt;  // executed: the pipe closed with it
    }
    // The child failed, or what it said cannot be read: either way it is
    // not what it should be, and it ends (or is ended) here.
    if (got != static_cast<ssize_t>(sizeof failure)) {
        (void)::kill(child.pid, SIGKILL);
        failure = {0, got < 0 ? read_error : EIO};
    }
    int wait_status = 0;
    (void)retry_on_eintr([&] { return ::waitpid(child.pid, &wait_status, 0); });
    child.pid = 0;
    return StartFailure{failure.step, last_error(failure.error)};
}

}  // namespace launcher::platform
