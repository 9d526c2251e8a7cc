#include "job.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "descriptor.h"
#include "exit_status.h"
#include "report.h"

namespace launcher::platform {

namespace {

// A /proc path built without allocating: "/proc/<pid>", then what is
// appended.
class ProcPath {
public:
    explicit ProcPath(pid_t pid) {
        append("/proc/");
        append(pid);
    }
    ProcPath& append(std::string_view text) {
        const std::size_t room = text_.size() - 1 - length_;
        const std::size_t taken = std::min(room, text.size());
        std::memcpy(text_.data() + length_, text.data(), taken);
        length_ += taken;
        text_[length_] = '\0';
        return *this;
    }
    ProcPath& append(pid_t pid) {
        const auto written = std::to_chars(text_.data() + length_, text_.data() + text_.size() - 1,
                                           pid);
        if (written.ec == std::errc()) {
            length_ = static_cast<std::size_t>(written.ptr - text_.data());
            text_[length_] = '\0';
        }
        return *this;
    }
    const char* c_str() const { return text_.data(); }

private:
    std::array<char, 96> text_{};
    std::size_t length_ = 0;
};

// Up to `buffer.size()` bytes of a /proc file, read at once as /proc makes
// them; empty when it cannot be read (the process has ended meanwhile).
std::string_view read_proc_file(const ProcPath& path, std::span<char> buffer) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return {};
    }
    std::size_t length = 0;
    while (length < buffer.size()) {
        const ssize_t got = retry_on_eintr(
            [&] { return ::read(file.get(), buffer.data() + length, buffer.size() - length); });
        if (got <= 0) {
            break;
        }
        length += static_cast<std::size_t>(got);
    }
    return {buffer.data(), length};
}

std::optional<ProcessEntry> read_process_entry(pid_t pid) {
    // The fields the launcher uses come first; the rest may be cut off.
    std::array<char, 1024> line{};
    return parse_process_entry(read_proc_file(ProcPath(pid).append("/stat"), line));
}

// Calls `each(child)` for the children of every thread of `pid`.
template <typename Each>
void for_each_child(pid_t pid, Each&& each) {
    const FileDescriptor tasks(
        ::open(ProcPath(pid).append("/task").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!tasks.valid()) {
        return;
    }
    alignas(dirent64) std::array<char, 2048> entries{};
    // A thread's children beyond these (some 4,000) are not looked at.
    std::array<char, 32768> children{};
    for (;;) {
        const ssize_t got = ::getdents64(tasks.get(), entries.data(), entries.size());
        if (got <= 0) {
            return;
        }
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries.data() + at);
            at += entry->d_reclen;
            if (entry->d_name[0] == '.') {
                continue;
            }
            ProcPath path(pid);
            path.append("/task/").append(entry->d_name).append("/children");
            parse_child_list(read_proc_file(path, children), each);
        }
    }
}

// The walks of the launcher's descendants in its group, each in a function
// of its own: their frames are large (the list found, and the children
// files read below it), and a caller whose frame held them would reach that
// deep into its thread's stack for every call it makes, walk or not. A
// thread's stack pages below the deepest 16 KiB are released as the thread
// ends (madvise), which costs a flush of the processors' address caches
// when any was touched; without a walk, none is.

// Whether a process of the launcher's group that descends from it is left
// and has not ended.
[[gnu::noinline]] bool descendants_still_run(const Job& job) {
    std::array<ProcessEntry, 1024> left;
    const std::size_t count = descendants_in_group(job.launcher, job.group, job.guard.load(), left);
    return std::any_of(
        left.begin(), left.begin() + static_cast<std::ptrdiff_t>(count),
        [](const ProcessEntry& process) { return process.state != 'Z' && process.state != 'X'; });
}

// Sends `number` to the launcher's descendants in its group.
[[gnu::noinline]] void signal_descendants(const Job& job, int number) {
    std::array<ProcessEntry, 1024> job_processes;
    const std::size_t count = descendants_in_group(job.launcher, job.group, job.guard.load(),
                                                   job_processes);
    for (const ProcessEntry& process : std::span(job_processes).first(count)) {
        if (process.state != 'Z' && ::kill(process.pid, number) != 0 && errno != ESRCH) {
            report("cannot pass a signal on to the server", last_error());
        }
    }
}

// Whether a process of the job that is not yet collected still runs.
bool job_still_runs(const Job& job) {
    if (!job.shares_group) {
        // The group lives while any process is in it; EPERM: one that the
        // launcher may not signal (a setuid program) is in it.
        return ::kill(-job.group, 0) == 0 || errno == EPERM;
    }
    return descendants_still_run(job);
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

}  // namespace

std::optional<ProcessEntry> parse_process_entry(std::string_view line) {
    // The name is in parentheses and may hold anything, so the fields are
    // found after its last ')'.
    const std::size_t name_end = line.rfind(')');
    if (name_end == std::string_view::npos || name_end + 4 > line.size()) {
        return std::nullopt;
    }
    ProcessEntry entry;
    const char* const end = line.data() + line.size();
    if (std::from_chars(line.data(), end, entry.pid).ec != std::errc()) {
        return std::nullopt;
    }
    const char* at = line.data() + name_end + 2;
    entry.state = *at;
    at += 2;
    const auto parent = std::from_chars(at, end, entry.parent);
    if (parent.ec != std::errc() || parent.ptr == end) {
        return std::nullopt;
    }
    if (std::from_chars(parent.ptr + 1, end, entry.group).ec != std::errc()) {
        return std::nullopt;
    }
    return entry;
}

std::size_t descendants_in_group(pid_t ancestor, pid_t group, pid_t except,
                                 std::span<ProcessEntry> found) {
    std::size_t count = 0;
    const auto add_children_of = [&](pid_t parent) {
        for_each_child(parent, [&](pid_t child) {
            if (child == except || count == found.size()) {
                return;
            }
            const std::optional<ProcessEntry> entry = read_process_entry(child);
            if (entry && entry->group == group) {
                found[count++] = *entry;
            }
        });
    };
    // Breadth first: what is found is also what is still to be looked at.
    add_children_of(ancestor);
    for (std::size_t next = 0; next < count; ++next) {
        add_children_of(found[next].pid);
    }
    return count;
}

bool watch_job(Job& job) {
    const std::lock_guard held(job.lock);
    const pid_t server = job.server.load();
    if (server == 0 || job.ended.load()) {
        return false;  // the runner looks again once it knows the server
    }
    // Orphans of the job, the server and the guard: every child that has
    // ended. (Any orphan at all when the launcher is process 1.)
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG) != 0 || info.si_pid == 0) {
            break;
        }
        if (info.si_pid == server) {
            // Signals go to the server from this thread only, so none can
            // reach a process that reuses its id.
            int wait_status = 0;
            switch (info.si_code) {
            case CLD_EXITED:
                wait_status = W_EXITCODE(info.si_status, 0);
                break;
            default:  // killed or dumped
                wait_status = W_EXITCODE(0, info.si_status);
                break;
            }
            job.wait_status.store(wait_status);
            job.collected = true;
        } else if (info.si_pid == job.guard.load()) {
            job.guard.store(0);
        }
    }
    if (!job.collected) {
        return false;
    }
    if (job_still_runs(job)) {
        return true;
    }
    job.ended.store(true);
    const std::uint64_t one = 1;
    if (::write(job.over, &one, sizeof one) < 0) {
        report("cannot tell the runner that the server's job has ended", last_error());
    }
    return false;
}

void signal_job(Job& job, int number, bool from_terminal) {
    const std::lock_guard held(job.lock);
    if (job.ended.load()) {
        return;
    }
    if (from_terminal) {
        // The server is not collected while this thread passes signals on,
        // so its id is still its own.
        const pid_t server = job.server.load();
        if (!job.collected && ::getpgid(server) != job.group && ::kill(server, number) != 0 &&
            errno != ESRCH) {
            report("cannot pass a signal on to the server", last_error());
        }
        return;
    }
    // ESRCH: the job has just ended.
    if (!job.shares_group) {
        if (::kill(-job.group, number) != 0 && errno != ESRCH) {
            report("cannot pass a signal on to the server", last_error());
        }
        return;
    }
    signal_descendants(job, number);
}

int wait_for_server(Job& job) {
    // Until the server has ended, without collecting it; ECHILD: the
    // watcher thread has collected it already.
    siginfo_t info{};
    if (retry_on_eintr([&] {
            return ::waitid(P_PID, static_cast<id_t>(job.server.load()), &info, WEXITED | WNOWAIT);
        }) == 0) {
        (void)watch_job(job);
    }
    std::uint64_t count = 0;
    if (retry_on_eintr([&] { return ::read(job.over, &count, sizeof count); }) < 0) {
        report(cannot_collect_status, last_error());
        return launcher_failure;
    }
    const ServerEnd end = server_end_of(job.wait_status.load(), job.search_path);
    explain_server_end(end);
    return exit_status(end);
}

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

void collect_ended_children() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

}  // namespace launcher::platform
