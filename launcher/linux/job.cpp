#include "job.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

#include "descriptor.h"
#include "exit_status.h"
#include "report.h"
#include "signals.h"

namespace launcher::platform {

namespace {

std::optional<ProcessEntry> read_process_entry(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return std::nullopt;  // ended meanwhile
    }
    char text[1024];
    const ssize_t got = retry_on_eintr([&] { return ::read(file.get(), text, sizeof text); });
    if (got <= 0) {
        return std::nullopt;
    }
    return parse_process_entry({text, static_cast<std::size_t>(got)});
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
        if (parsed.ec != std::errc() || parsed.ptr != name.data() + name.size()) {
            continue;
        }
        if (const std::optional<ProcessEntry> process = read_process_entry(pid)) {
            processes.push_back(*process);
        }
    }
    return processes;
}

// Collects the launcher's children other than the server that have ended:
// orphans of the job, and any orphan at all when the launcher is process 1.
void reap_orphans(pid_t server, const std::vector<ProcessEntry>& processes) {
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0 ||
            info.si_pid == server) {
            break;
        }
        (void)::waitpid(info.si_pid, nullptr, WNOHANG);  // it has ended: this cannot fail
    }
    // The one waitid shows may be the server; the others are found here.
    const pid_t launcher = ::getpid();
    for (const ProcessEntry& process : processes) {
        if (process.parent == launcher && process.state == 'Z' && process.pid != server) {
            (void)::waitpid(process.pid, nullptr, WNOHANG);
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

ServerEnd server_end_of(int wait_status) {
    if (WIFSIGNALED(wait_status)) {
        const int number = WTERMSIG(wait_status);
        const char* abbreviation = sigabbrev_np(number);
        return {ServerEnd::How::signalled, number, abbreviation != nullptr ? abbreviation : ""};
    }
    const int code = WEXITSTATUS(wait_status);
    // The shell's own statuses for a command it could not run.
    if (code == 127) {
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

int wait_for_server(pid_t server, SignalWatcher& watcher) {
    // Waited for first without being collected, so that signals stop going
    // to it while its process id still belongs to it.
    siginfo_t info{};
    if (retry_on_eintr([&] {
            return ::waitid(P_PID, static_cast<id_t>(server), &info, WEXITED | WNOWAIT);
        }) != 0) {
        const std::error_code error = last_error();
        watcher.stop_forwarding();
        report(cannot_collect_status, error);
        return launcher_failure;
    }
    watcher.stop_forwarding();
    int wait_status = 0;
    if (retry_on_eintr([&] { return ::waitpid(server, &wait_status, 0); }) < 0) {
        report(cannot_collect_status, last_error());
        return launcher_failure;
    }
    const ServerEnd end = server_end_of(wait_status);
    explain_server_end(end);
    return exit_status(end);
}

void collect_ended_children() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

}  // namespace launcher::platform
