// The server's job on Linux: the server and the processes it started that
// stay in its process group. Off a terminal that group is the server's own;
// on a terminal it is the launcher's, and the job is the launcher's
// descendants in it. The launcher is the reaper of the job's orphans (a
// subreaper), so every process of the job stays its descendant while it
// lives, and what is left of the job is found by walking the launcher's
// descendants, never by looking at every process of the machine.
#pragma once

#include <sys/types.h>

#include <charconv>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace launcher::platform {

// The fields of one /proc/<pid>/stat line that the launcher uses.
struct ProcessEntry {
    pid_t pid = 0;
    char state = '?';  // 'Z' and 'X': ended, not yet or just collected
    pid_t parent = 0;
    pid_t group = 0;
    unsigned long long start_time = 0;  // clock ticks after boot
};

// Parses "<pid> (<name>) <state> <ppid> <pgrp> ... <starttime> ..."; the
// name may hold anything, blanks and ") " included. Nothing when the line is
// cut short.
std::optional<ProcessEntry> parse_process_entry(std::string_view stat_line);

// The entry of process `pid`; nothing when it has gone.
std::optional<ProcessEntry> read_process_entry(pid_t pid);

// Calls `each(pid)` for the process ids of a /proc/<pid>/task/<tid>/children
// file: numbers separated by blanks. Whatever is not a number ends the list.
template <typename Each>
void parse_child_list(std::string_view text, Each&& each) {
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    for (;;) {
        while (at != end && (*at == ' ' || *at == '\n')) {
            ++at;
        }
        pid_t pid = 0;
        const auto parsed = std::from_chars(at, end, pid);
        if (parsed.ec != std::errc() || pid <= 0) {
            return;
        }
        each(pid);
        at = parsed.ptr;
    }
}

// The children of every thread of `pid`.
std::vector<ProcessEntry> children_of(pid_t pid);

// The processes of `group` that descend from one of `roots` through
// processes of that group: the roots themselves when they are in it, their
// children in it, and so on. A descendant that left the group (a daemon in a
// session of its own) is not followed. Ended processes not yet collected are
// left out.
std::vector<ProcessEntry> descendants_in_group(const std::vector<ProcessEntry>& roots, pid_t group);

// Sends `number` to every process of `group` that descends from one of the
// processes `roots()` gives (called again for each walk), walking again
// until a walk finds nothing that was not signalled yet, so that a process
// forked meanwhile is reached too. Each process gets the signal once.
// Returns the first error of kill(2) other than ESRCH, or 0.
int signal_descendants(const std::function<std::vector<ProcessEntry>()>& roots, pid_t group,
                       int number);

// Who the server's job is, enough to find and signal it from any thread.
struct Job {
    pid_t launcher = 0;
    pid_t server = 0;
    pid_t group = 0;            // the server's own, or the launcher's on a terminal
    bool shares_group = false;  // `group` is the launcher's
};

// Whether a process of the job is left that has not ended.
bool job_runs(const Job& job);

// Sends `number` to every process of the job: the whole group at once when
// it is the server's own. Returns the first error other than ESRCH, or 0.
int signal_job(const Job& job, int number);

}  // namespace launcher::platform
