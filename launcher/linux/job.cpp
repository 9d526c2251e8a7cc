#include "job.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "descriptor.h"
#include "exit_status.h"
#include "report.h"

namespace launcher::platform {

namespace {

// The whole of a small /proc file; empty when it cannot be read (the
// process has ended meanwhile).
std::string read_proc_file(const std::string& path) {
    std::string text;
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return text;
    }
    char piece[4096];
    for (;;) {
        const ssize_t got = retry_on_eintr([&] { return ::read(file.get(), piece, sizeof piece); });
        if (got <= 0) {
            return text;
        }
        text.append(piece, static_cast<std::size_t>(got));
    }
}

std::optional<ProcessEntry> read_process_entry(pid_t pid) {
    return parse_process_entry(read_proc_file("/proc/" + std::to_string(pid) + "/stat"));
}

// The children of every thread of `pid`.
std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> children;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(tasks.c_str()), ::closedir);
    if (!folder) {
        return children;
    }
    // readdir is safe here: only this thread reads this directory stream.
    while (const dirent* entry = ::readdir(folder.get())) {  // NOLINT(concurrency-mt-unsafe)
        if (entry->d_name[0] == '.') {
            continue;
        }
        const std::vector<pid_t> more = parse_child_list(
            read_proc_file(tasks + "/" + entry->d_name + "/children"));
        children.insert(children.end(), more.begin(), more.end());
    }
    return children;
}

// Whether a process of the job that is not yet collected still runs.
bool job_still_runs(const Job& job) {
    if (!job.shares_group) {
        // The group lives while any process is in it; EPERM: one that the
        // launcher may not signal (a setuid program) is in it.
        return ::kill(-job.group, 0) == 0 || errno == EPERM;
    }
    const std::vector<ProcessEntry> left = descendants_in_group(job.launcher, job.group,
                                                                job.guard.load());
    return std::any_of(left.begin(), left.end(), [](const ProcessEntry& process) {
        return process.state != 'Z' && process.state != 'X';
    });
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

std::vector<pid_t> parse_child_list(std::string_view text) {
    std::vector<pid_t> pids;
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    for (;;) {
        while (at != end && (*at == ' ' || *at == '\n')) {
            ++at;
        }
        pid_t pid = 0;
        const auto parsed = std::from_chars(at, end, pid);
        if (parsed.ec != std::errc() || pid <= 0) {
            return pids;
        }
        pids.push_back(pid);
        at = parsed.ptr;
    }
}

std::vector<ProcessEntry> descendants_in_group(pid_t ancestor, pid_t group, pid_t except) {
    std::vector<ProcessEntry> found;
    std::vector<pid_t> to_visit{ancestor};
    // A bound against a tree that changes as fast as it is read.
    while (!to_visit.empty() && found.size() < 100000) {
        const pid_t parent = to_visit.back();
        to_visit.pop_back();
        for (const pid_t child : children_of(parent)) {
            const std::optional<ProcessEntry> entry = read_process_entry(child);
            if (child == except || !entry || entry->group != group) {
                continue;
            }
            found.push_back(*entry);
            to_visit.push_back(child);
        }
    }
    return found;
}

bool watch_job(Job& job) {
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
        report("cannot tell the relay that the server's job has ended", last_error());
    }
    return false;
}

void signal_job(const Job& job, int number, bool from_terminal) {
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
    for (const ProcessEntry& process :
         descendants_in_group(job.launcher, job.group, job.guard.load())) {
        if (process.state != 'Z' && ::kill(process.pid, number) != 0 && errno != ESRCH) {
            report("cannot pass a signal on to the server", last_error());
        }
    }
}

int wait_for_server(Job& job) {
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
