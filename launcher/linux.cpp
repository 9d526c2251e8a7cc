// The platform layer for Linux: setenv, and the server started through the
// POSIX shell with its output on a pipe, relayed (linux_relay.h) while the
// signal watcher (linux_signals.h) passes stop requests on, and waited for
// together with its job.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "linux_descriptor.h"
#include "linux_relay.h"
#include "linux_signals.h"
#include "platform.h"
#include "quote.h"
#include "report.h"

extern char** environ;

namespace launcher::platform {

namespace {

constexpr int launcher_failure = EXIT_FAILURE;

std::error_code last_error(int error = errno) {
    return {error, std::system_category()};
}

// ---------------------------------------------------------------------------
// Starting the server

// What the child reports on the start pipe when it cannot become the
// server: the step that failed and its errno.
enum class StartStep : int { death_signal, process_group, output, signals, execute };

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
    bool own_group = false;
    pid_t launcher = 0;
    const sigset_t* reset = nullptr;  // back to their default action
};

[[noreturn]] void fail_start(const ChildSetup& setup, StartStep step) {
    const StartFailure failure{step, errno};
    (void)::write(setup.start_report, &failure, sizeof failure);
    ::_exit(127);
}

// The child between fork and execve.
[[noreturn]] void become_server(const ChildSetup& setup) {
    // The server gets SIGTERM when the thread that started it ends, however
    // the launcher ends (even SIGKILL), so that it saves and does not run on
    // alone. A launcher that died before this call is no longer the parent.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) {
        fail_start(setup, StartStep::death_signal);
    }
    if (::getppid() != setup.launcher) {
        ::_exit(128 + SIGTERM);
    }
    if (setup.own_group && ::setpgid(0, 0) != 0) {
        fail_start(setup, StartStep::process_group);
    }
    if (::dup2(setup.output, STDOUT_FILENO) < 0) {
        fail_start(setup, StartStep::output);
    }
    // The server starts with every signal at the handling the launcher was
    // given, none blocked, and none of the launcher's own handlers.
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;  // NOLINT(cppcoreguidelines-pro-type-union-access)
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
    case StartStep::death_signal:
        report("cannot tie the server to the launcher's life", reason);
        return launcher_failure;
    case StartStep::process_group:
        report("cannot give the server a process group of its own", reason);
        return launcher_failure;
    case StartStep::output:
        report("cannot connect the server's output to the launcher", reason);
        return launcher_failure;
    case StartStep::signals:
        report("cannot reset the server's signal handling", reason);
        return launcher_failure;
    case StartStep::execute:
        report("cannot start /bin/sh", reason);
        return failure.error == ENOENT                               ? 127
               : failure.error == EACCES || failure.error == ENOEXEC ? 126
                                                                     : launcher_failure;
    }
    return launcher_failure;
}

// Starts "/bin/sh -c 'exec <command>'" with its standard output on `output`;
// returns its process id once it executes the shell, or 0 after reporting
// why it could not, with `status` the exit status to use.
//
// fork and execve rather than posix_spawn: only a child that runs code of
// the launcher's can set the parent-death signal before it executes.
pid_t start_server(const std::string& command_text, int output, bool own_group,
                   const sigset_t& reset, int& status) {
    // exec replaces the shell by the runtime, so that the runtime itself is
    // the process that gets the signals and whose status is collected.
    const std::string script = "exec " + command_text;
    const char* const argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        report("cannot create a pipe for starting the server", last_error());
        status = launcher_failure;
        return 0;
    }
    const FileDescriptor start_report(ends[0]);
    FileDescriptor start_report_end(ends[1]);
    const ChildSetup setup{argv, output, start_report_end.get(), own_group, ::getpid(), &reset};

    // No signal may run a launcher's handler in the child before it has
    // reset them.
    sigset_t all;
    sigfillset(&all);
    sigset_t earlier;
    int error = pthread_sigmask(SIG_SETMASK, &all, &earlier);
    if (error != 0) {
        report("cannot hold signals while the server starts", last_error(error));
        status = launcher_failure;
        return 0;
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
        status = launcher_failure;
        return 0;
    }

    start_report_end.reset();
    StartFailure failure;
    ssize_t got = 0;
    while ((got = ::read(start_report.get(), &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    if (got == 0) {
        return pid;
    }
    int wait_status = 0;
    while (::waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    if (got != sizeof failure) {
        report("cannot tell whether the server started", last_error());
        status = launcher_failure;
        return 0;
    }
    status = report_start_failure(failure);
    return 0;
}

// ---------------------------------------------------------------------------
// The server's job

// One line of /proc/<pid>/stat, the fields the launcher uses.
struct ProcessEntry {
    pid_t pid = 0;
    char state = '?';
    pid_t parent = 0;
    pid_t group = 0;
};

bool read_process_entry(pid_t pid, ProcessEntry& entry) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return false;  // ended meanwhile
    }
    char text[1024];
    const ssize_t got = ::read(file.get(), text, sizeof text);
    if (got <= 0) {
        return false;
    }
    // "<pid> (<name>) <state> <ppid> <pgrp> ...": the name may hold
    // anything, so the fields are found after its last ')'.
    const std::string_view line(text, static_cast<std::size_t>(got));
    const std::size_t name_end = line.rfind(')');
    if (name_end == std::string_view::npos || name_end + 4 > line.size()) {
        return false;
    }
    const char* at = line.data() + name_end + 2;
    const char* const end = line.data() + line.size();
    entry.pid = pid;
    entry.state = *at;
    at += 2;
    const auto parent = std::from_chars(at, end, entry.parent);
    if (parent.ec != std::errc() || parent.ptr == end) {
        return false;
    }
    const auto group = std::from_chars(parent.ptr + 1, end, entry.group);
    return group.ec == std::errc();
}

// Every process the launcher can see; empty when /proc cannot be read.
std::vector<ProcessEntry> list_processes() {
    std::vector<ProcessEntry> processes;
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc) {
        return processes;
    }
    // readdir is safe here: only this thread reads this directory stream.
    while (const dirent* entry = ::readdir(proc.get())) {  // NOLINT(concurrency-mt-unsafe)
        pid_t pid = 0;
        const std::string_view name = entry->d_name;
        const auto parsed = std::from_chars(name.data(), name.data() + name.size(), pid);
        ProcessEntry process;
        if (parsed.ec == std::errc() && parsed.ptr == name.data() + name.size() &&
            read_process_entry(pid, process)) {
            processes.push_back(process);
        }
    }
    return processes;
}

// Whether a process of the server's job still runs: one that is not a zombie,
// is in `group` and descends from the launcher (orphans of the job come to the
// launcher, which is their reaper). A descendant that left the group (a
// daemon in a session of its own) is not part of the job; neither is
// anything in the launcher's group that the launcher did not start (the
// rest of a shell pipeline).
bool job_still_runs(const std::vector<ProcessEntry>& processes, pid_t group, pid_t launcher) {
    std::unordered_map<pid_t, pid_t> parents;
    for (const ProcessEntry& process : processes) {
        parents[process.pid] = process.parent;
    }
    for (const ProcessEntry& process : processes) {
        if (process.group != group || process.pid == launcher || process.state == 'Z' ||
            process.state == 'X') {
            continue;
        }
        pid_t ancestor = process.parent;
        for (int depth = 0; depth < 1000 && ancestor > 1; ++depth) {
            if (ancestor == launcher) {
                return true;
            }
            const auto found = parents.find(ancestor);
            ancestor = found == parents.end() ? 0 : found->second;
        }
    }
    return false;
}

// What the watcher thread and the runner know of the server's job.
struct Job {
    std::atomic<pid_t> server{0};  // 0 until it is started
    pid_t group = 0;               // set before `server`
    pid_t launcher = 0;
    int over = -1;       // an eventfd: written once nothing of the job is left
    bool ended = false;  // the watcher thread's own
};

// Collects the launcher's children other than the server that have ended:
// orphans of the job, and any orphan at all when the launcher is process 1.
void reap_orphans(pid_t server, const std::vector<ProcessEntry>& processes) {
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0 ||
            info.si_pid == server) {
            break;
        }
        ::waitpid(info.si_pid, nullptr, WNOHANG);
    }
    // The one waitid shows may be the server; the others are found here.
    const pid_t launcher = ::getpid();
    for (const ProcessEntry& process : processes) {
        if (process.parent == launcher && process.state == 'Z' && process.pid != server) {
            ::waitpid(process.pid, nullptr, WNOHANG);
        }
    }
}

bool has_ended(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return errno == ECHILD;  // collected already
    }
    return info.si_pid == pid;
}

// On the watcher thread, after a child changed state: reaps orphans, and once
// the server and its job have ended, tells the relay to finish. True while
// the job runs on without the server, so that it is looked at again soon
// (its processes are not all the launcher's children).
bool watch_job(Job& job) {
    const pid_t server = job.server.load();
    if (server == 0) {
        return false;  // the runner looks again once it knows the server
    }
    const std::vector<ProcessEntry> processes = list_processes();
    reap_orphans(server, processes);
    if (job.ended || !has_ended(server)) {
        return false;
    }
    if (processes.empty()) {
        return false;  // no /proc: the relay ends with the pipe
    }
    if (job_still_runs(processes, job.group, job.launcher)) {
        return true;
    }
    job.ended = true;
    const std::uint64_t one = 1;
    if (::write(job.over, &one, sizeof one) < 0) {
        report("cannot tell the relay that the server's job has ended", last_error());
    }
    return false;
}

// ---------------------------------------------------------------------------
// Waiting for the server

int exit_status_of(int wait_status) {
    if (WIFEXITED(wait_status)) {
        return WEXITSTATUS(wait_status);
    }
    if (WIFSIGNALED(wait_status)) {
        return 128 + WTERMSIG(wait_status);
    }
    return launcher_failure;
}

// One line on standard error when the server did not end on its own.
void explain_end(int wait_status) {
    if (WIFSIGNALED(wait_status)) {
        const int number = WTERMSIG(wait_status);
        const char* abbreviation = sigabbrev_np(number);
        std::string line = "the server was ended by signal " + std::to_string(number);
        if (abbreviation != nullptr) {
            line += std::string(" (SIG") + abbreviation + ")";
        }
        if (number == SIGKILL) {
            line +=
                "; the system may have run out of memory: a smaller server_memory in "
                "server.properties leaves it more";
        }
        report(line);
        return;
    }
    if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 127) {
        report("the server did not start: java was not found on PATH (status 127)");
    } else if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 126) {
        report("the server did not start: java was found but cannot be executed (status 126)");
    }
}

// Waits for the server to end and returns its status. The server is first
// waited for without being collected, so that signals stop going to it
// while its process id still belongs to it.
int wait_for_server(pid_t server, SignalWatcher& watcher) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(server), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    watcher.stop_forwarding();
    int wait_status = 0;
    pid_t collected = 0;
    while ((collected = ::waitpid(server, &wait_status, 0)) < 0 && errno == EINTR) {
    }
    if (collected < 0) {
        report("cannot collect the server's exit status", last_error());
        return launcher_failure;
    }
    explain_end(wait_status);
    return exit_status_of(wait_status);
}

}  // namespace

void prepare_process() {
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
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    // Inherited "ignore" for SIGCHLD would make the system collect the server
    // itself, and its exit status would be lost.
    ::signal(SIGCHLD, SIG_DFL);
    // Signals blocked by whoever started the launcher would never reach the
    // watcher; until the server starts, they keep their default action.
    sigset_t none;
    sigemptyset(&none);
    if (const int error = pthread_sigmask(SIG_SETMASK, &none, nullptr); error != 0) {
        report("cannot unblock signals", last_error(error));
    }
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

int run_server(const std::string& command_text) {
    // Everything the server needs from the launcher is set up first, so that
    // a failure ends the launcher before there is a server.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        report("cannot create a pipe for the server's output", last_error());
        return launcher_failure;
    }
    FileDescriptor output(ends[0]);
    FileDescriptor output_end(ends[1]);
    enlarge_pipe(output.get());

    const FileDescriptor job_over(::eventfd(0, EFD_CLOEXEC));
    if (!job_over.valid()) {
        report("cannot create the event that ends the relay", last_error());
        return launcher_failure;
    }
    // Orphans of the server's job come to the launcher rather than to
    // process 1, so that the launcher sees what is left of the job.
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        report("cannot become the reaper of the server's orphans", last_error());
        return launcher_failure;
    }

    const bool shares_group = holds_terminal_foreground();
    Job job;
    job.launcher = ::getpid();
    job.over = job_over.get();
    SignalWatcher watcher;
    const std::error_code watcher_error = watcher.start(shares_group, ::getsid(0) == job.launcher,
                                                        [&job] { return watch_job(job); });
    if (watcher_error) {
        report("cannot start the signal watcher", watcher_error);
        return launcher_failure;
    }
    // The signals are for the watcher (and the main thread, which only
    // waits); this thread sits in system calls that they need not interrupt.
    if (const int error = pthread_sigmask(SIG_BLOCK, &watcher.to_reset_in_server(), nullptr);
        error != 0) {
        report("cannot leave the signals to the watcher", last_error(error));
        return launcher_failure;
    }

    int status = launcher_failure;
    const pid_t server = start_server(command_text, output_end.get(), !shares_group,
                                      watcher.to_reset_in_server(), status);
    output_end.reset();
    if (server == 0) {
        return status;
    }
    job.group = shares_group ? ::getpgrp() : server;
    job.server.store(server);
    watcher.forward_to(server);
    watcher.check_children();  // in case the server ended before it was known

    relay(output.get(), STDOUT_FILENO, job_over.get());
    output.reset();
    status = wait_for_server(server, watcher);
    watcher.stop();
    // Orphans that ended after the watcher stopped.
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    return status;
}

}  // namespace launcher::platform
