#include "guard.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

#include "job.h"
#include "report.h"

namespace launcher::platform {

namespace {

// What goes over the channel: the job, or all zeros for "the job has ended".
struct Message {
    std::int32_t server = 0;
    std::int32_t group = 0;
    std::int32_t shares_group = 0;  // the group is the launcher's
};

// Reads one whole message; nothing at the channel's end. A failed read is
// reported and taken as the end: the guard then does its work rather than
// leave the job unguarded.
std::optional<Message> read_message(int channel) {
    Message message;
    std::size_t got = 0;
    while (got < sizeof message) {
        const ssize_t now = ::read(channel, reinterpret_cast<char*>(&message) + got,
                                   sizeof message - got);
        if (now > 0) {
            got += static_cast<std::size_t>(now);
        } else if (now == 0) {
            return std::nullopt;
        } else if (errno != EINTR) {
            report("guard: cannot read from the launcher", last_error());
            return std::nullopt;
        }
    }
    return message;
}

// Whether `process` started after `guard`: a tick of the clock holds many
// starts, so within one the later process id wins.
bool younger(const ProcessEntry& process, const ProcessEntry& guard) {
    return process.start_time > guard.start_time ||
           (process.start_time == guard.start_time && process.pid > guard.pid);
}

void stop_shared_group_job(pid_t launcher, pid_t group) {
    const std::optional<ProcessEntry> self = read_process_entry(::getpid());
    if (!self) {
        report("guard: cannot read its own process entry", last_error());
        return;
    }
    // The launcher's children pass to their new parent all at once, the
    // guard with them.
    const timespec pause{0, 1000000};
    for (int waited = 0; ::getppid() == launcher && waited < 5000; ++waited) {
        (void)::nanosleep(&pause, nullptr);
    }
    const pid_t new_parent = ::getppid();
    const auto roots = [&] {
        std::vector<ProcessEntry> started_by_launcher = children_of(new_parent);
        std::erase_if(started_by_launcher,
                      [&](const ProcessEntry& child) { return !younger(child, *self); });
        return started_by_launcher;
    };
    if (const int error = signal_descendants(roots, group, SIGTERM); error != 0) {
        report("guard: cannot stop the server's job", last_error(error));
    }
}

}  // namespace

std::error_code start_guard(Guard& guard) {
    Pipe channel;
    if (const std::error_code error = make_socket_pair(channel)) {
        return error;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        return last_error();
    }
    if (pid == 0) {
        // It holds nothing of the launcher's but its standard error and its
        // end of the channel (not the console's FIFO, say).
        const auto end = static_cast<unsigned>(channel.read.get());
        channel.write.release();
        if ((end > 3 && ::close_range(3, end - 1, 0) != 0) || ::close_range(end + 1, ~0U, 0) != 0) {
            report("guard: cannot close the launcher's descriptors", last_error());
        }
        ::_exit(run_guard(channel.read.get()));
    }
    // Here too, as a shell does for its jobs: whichever runs first, the guard
    // is out of the launcher's group before the server can exist.
    if (::setpgid(pid, pid) != 0) {
        const std::error_code error = last_error();
        (void)::kill(pid, SIGKILL);
        (void)::waitpid(pid, nullptr, 0);
        return error;
    }
    guard.pid = pid;
    guard.channel = std::move(channel.write);
    return {};
}

bool tell_guard(int channel, pid_t server, pid_t group, bool shares_group) {
    const Message message{server, group, shares_group ? 1 : 0};
    return ::write(channel, &message, sizeof message) == static_cast<ssize_t>(sizeof message);
}

bool tell_guard_job_over(int channel) {
    return tell_guard(channel, 0, 0, false);
}

void collect_guard(Guard& guard) {
    if (guard.pid <= 0) {
        return;
    }
    guard.channel.reset();
    int wait_status = 0;
    // ECHILD: collected already, with the job's orphans.
    (void)retry_on_eintr([&] { return ::waitpid(guard.pid, &wait_status, 0); });
    guard.pid = 0;
}

void dismiss_guard(Guard& guard) {
    if (guard.pid > 0 && !tell_guard_job_over(guard.channel.get())) {
        // It then takes the launcher for gone, and finds no job left.
        report("cannot dismiss the guard of the server's job", last_error());
    }
    collect_guard(guard);
}

int run_guard(int channel) {
    // Out of reach of signals to the launcher's group, and nothing the
    // terminal or a stop of a whole group sends ends it: the launcher
    // dismisses it.
    (void)::setpgid(0, 0);  // cannot fail for a child that has not executed
    sigset_t all;
    sigfillset(&all);
    (void)pthread_sigmask(SIG_SETMASK, &all, nullptr);  // cannot fail with a valid set
    (void)::prctl(PR_SET_NAME, "launcher-guard");
    // Holds no reader's pipe open after the launcher has ended: a pipeline
    // ends with the launcher. Standard error stays, for its reports.
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    const pid_t launcher = ::getppid();
    Message job;
    while (const std::optional<Message> message = read_message(channel)) {
        if (message->server == 0) {
            return 0;  // dismissed: the job has ended
        }
        job = *message;
    }
    if (job.server == 0) {
        return 0;  // no server was started
    }
    if (job.shares_group == 0) {
        if (::kill(-job.group, SIGTERM) != 0 && errno != ESRCH) {
            report("guard: cannot stop the server's job", last_error());
            return 1;
        }
        return 0;
    }
    stop_shared_group_job(launcher, job.group);
    return 0;
}

}  // namespace launcher::platform
