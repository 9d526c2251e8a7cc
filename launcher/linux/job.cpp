#include "job.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "descriptor.h"

namespace launcher::platform {

namespace {

// A /proc file read whole, as /proc makes it at once; empty when it cannot
// be read (the process has ended meanwhile).
std::string read_proc_file(const std::string& path) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!file.valid()) {
        return text;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = retry_on_eintr(
            [&] { return ::read(file.get(), buffer, sizeof buffer); });
        if (got <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

bool has_ended(const ProcessEntry& process) {
    return process.state == 'Z' || process.state == 'X';
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
    // Fields 3 on: state, ppid, pgrp, ... starttime is field 22.
    std::vector<std::string_view> fields;
    std::string_view rest = line.substr(name_end + 2);
    while (!rest.empty() && fields.size() < 20) {
        const std::size_t blank = rest.find(' ');
        fields.push_back(rest.substr(0, blank));
        rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    }
    if (fields.size() < 3 || fields[0].size() != 1) {
        return std::nullopt;
    }
    const auto number = [](std::string_view field, auto& value) {
        return std::from_chars(field.data(), field.data() + field.size(), value).ec == std::errc();
    };
    entry.state = fields[0][0];
    if (!number(fields[1], entry.parent) || !number(fields[2], entry.group)) {
        return std::nullopt;
    }
    if (fields.size() == 20 && !number(fields[19], entry.start_time)) {
        return std::nullopt;
    }
    return entry;
}

std::optional<ProcessEntry> read_process_entry(pid_t pid) {
    return parse_process_entry(read_proc_file("/proc/" + std::to_string(pid) + "/stat"));
}

std::vector<ProcessEntry> children_of(pid_t pid) {
    std::vector<ProcessEntry> children;
    const std::string tasks_path = "/proc/" + std::to_string(pid) + "/task";
    DIR* const tasks = ::opendir(tasks_path.c_str());
    if (tasks == nullptr) {
        return children;
    }
    while (const dirent* task = ::readdir(tasks)) {  // NOLINT(concurrency-mt-unsafe): own stream
        if (task->d_name[0] == '.') {
            continue;
        }
        parse_child_list(read_proc_file(tasks_path + "/" + task->d_name + "/children"),
                         [&children](pid_t child) {
                             if (const auto entry = read_process_entry(child)) {
                                 children.push_back(*entry);
                             }
                         });
    }
    ::closedir(tasks);
    return children;
}

std::vector<ProcessEntry> descendants_in_group(const std::vector<ProcessEntry>& roots,
                                               pid_t group) {
    std::vector<ProcessEntry> found;
    for (const ProcessEntry& root : roots) {
        if (root.group == group) {
            found.push_back(root);
        }
    }
    // Breadth first: what is found is also what is still to be looked at.
    for (std::size_t next = 0; next < found.size(); ++next) {
        for (const ProcessEntry& child : children_of(found[next].pid)) {
            if (child.group == group) {
                found.push_back(child);
            }
        }
    }
    std::erase_if(found, has_ended);
    return found;
}

int signal_descendants(const std::function<std::vector<ProcessEntry>()>& roots, pid_t group,
                       int number) {
    std::vector<pid_t> signalled;
    int first_error = 0;
    for (bool found_new = true; found_new;) {
        found_new = false;
        for (const ProcessEntry& process : descendants_in_group(roots(), group)) {
            if (std::find(signalled.begin(), signalled.end(), process.pid) != signalled.end()) {
                continue;
            }
            found_new = true;
            signalled.push_back(process.pid);
            if (::kill(process.pid, number) != 0 && errno != ESRCH && first_error == 0) {
                first_error = errno;
            }
        }
    }
    return first_error;
}

bool job_runs(const Job& job) {
    // A group of the server's own lives while any process is in it: one call
    // says when it has gone. Otherwise (EPERM: a process the launcher may not
    // signal, or a refused call) the walk tells.
    if (!job.shares_group && ::kill(-job.group, 0) != 0 && errno == ESRCH) {
        return false;
    }
    return !descendants_in_group(children_of(job.launcher), job.group).empty();
}

int signal_job(const Job& job, int number) {
    if (!job.shares_group) {
        // One call reaches the whole group, also what forks meanwhile.
        return ::kill(-job.group, number) == 0 || errno == ESRCH ? 0 : errno;
    }
    return signal_descendants([&job] { return children_of(job.launcher); }, job.group, number);
}

}  // namespace launcher::platform
