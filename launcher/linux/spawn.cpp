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

std::error_code start_child(StartedChild& child, const char* path, const char* const* argv,
                            const std::function<int()>& prepare) {
    Pipe report;
    if (const std::error_code error = make_pipe(report)) {
        return error;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        return last_error();
    }
    if (pid == 0) {
        FailureReport failure{prepare(), 0};
        if (failure.step == 0) {
            ::execve(path, const_cast<char* const*>(argv), environ);
        }
        failure.error = errno;
        (void)!::write(report.write.get(), &failure, sizeof failure);
        ::_exit(127);
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
