// The server's job on Linux: the server and what it started in its process
// group. The launcher is the reaper of the job's orphans (a subreaper), so
// that it sees what is left of the job after the server has ended, and it
// ends only once nothing of it runs. What is left is found from the job
// itself, never by looking at every process of the machine: the whole group
// when the server has one of its own (kill(-group, 0)), or the launcher's
// descendants in its group when the server shares it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <charconv>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace launcher::platform {

// The fields of one /proc/<pid>/stat line that the launcher uses.
struct ProcessEntry {
    pid_t pid = 0;
    char state = '?';  // 'Z' and 'X': ended, not yet or just collected
    pid_t parent = 0;
    pid_t group = 0;
};

// Parses "<pid> (<name>) <state> <ppid> <pgrp> ..."; the name may hold
// anything, blanks and ") " included. Nothing when the line is cut short.
std::optional<ProcessEntry> parse_process_entry(std::string_view stat_line);

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

// Fills `found` with the processes of `group` that descend from `ancestor`
// through processes of that group: its children in the group, their
// children in the group, and so on; returns how many. `ancestor` itself and
// `except` are left out, ended ones that are not yet collected are kept. A
// descendant that left the group (a daemon in a session of its own) is not
// followed; the walk stops when `found` is full. The whole job is found
// before any of it is signalled, since a process that is signalled may end
// and pass its children on before they are found.
// It allocates nothing and takes no lock, so that the guard may walk the
// job in the launcher's memory once the launcher is gone (guard.h).
std::size_t descendants_in_group(pid_t ancestor, pid_t group, pid_t except,
                                 std::span<ProcessEntry> found);

// What the signal watcher's thread and the runner know of the server's job.
struct Job {
    // Held while the server is collected or signalled, by whichever thread
    // does it: a signal never reaches a process that reuses its id.
    std::mutex lock;
    std::atomic<pid_t> server{0};  // 0 until it is started
    pid_t group = 0;               // set before `server`
    pid_t launcher = 0;
    bool shares_group = false;        // `group` is the launcher's own
    std::atomic<pid_t> guard{0};      // 0 once it is collected
    int over = -1;                    // an eventfd: written once the server is collected and
                                      // nothing of its job is left
    std::atomic<bool> ended{false};   // `over` was written
    std::atomic<int> wait_status{0};  // the server's, set before `over`
    bool collected = false;           // under `lock`
    std::string search_path;          // PATH, as the shell searches it
};

// After a child changed state (on the watcher thread, and on the runner
// once the server has ended): collects the server and the orphans that have
// ended, and once the server and its job have ended, writes `job.over`.
// True while the job runs on without the server, so that it is looked at
// again soon (its processes are not all the launcher's children, so no
// event says when).
bool watch_job(Job& job);

// Sends `number` to every process of the job that is left: the whole group
// when the server has its own, or the launcher's descendants in its group
// (the guard left out). Nothing once the job has ended. `from_terminal`: the
// terminal signalled the launcher's group itself, so only a server that has
// left that group (setsid) gets it.
void signal_job(Job& job, int number, bool from_terminal);

// Whether a directory of `search_path` (PATH) holds an executable `java`.
bool java_on_path(std::string_view search_path);

// Waits until the server has ended and been collected, by this thread when
// it comes first (the launcher then ends without waiting for the watcher
// thread to be scheduled), and until the job has ended; returns the
// server's status, explaining on standard error an end that was not the
// server's own.
int wait_for_server(Job& job);

// Collects every child of the launcher that has ended, without waiting.
void collect_ended_children();

}  // namespace launcher::platform
