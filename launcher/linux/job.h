// The server's job on Linux: the server and what it started in its process
// group. The launcher is the reaper of the job's orphans (a subreaper), so
// it sees what is left of the job after the server has ended, and it ends
// only once nothing of it runs.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <optional>
#include <string_view>
#include <vector>

namespace launcher::platform {

class SignalWatcher;

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

// Whether a process of the server's job still runs: one that has not ended,
// is in `group` and descends from `launcher`. A descendant that left the
// group (a daemon in a session of its own) is not part of the job; neither
// is anything in the launcher's group that the launcher did not start (the
// rest of a shell pipeline).
bool job_still_runs(const std::vector<ProcessEntry>& processes, pid_t group, pid_t launcher);

// What the signal watcher's thread and the runner know of the server's job.
struct Job {
    std::atomic<pid_t> server{0};  // 0 until it is started
    pid_t group = 0;               // set before `server`
    pid_t launcher = 0;
    int over = -1;       // an eventfd: written once nothing of the job is left
    bool ended = false;  // the watcher thread's own
};

// On the watcher thread, after a child changed state: collects orphans, and
// once the server and its job have ended, writes `job.over`. True while the
// job runs on without the server, so that it is looked at again soon (its
// processes are not all the launcher's children, so no event says when).
bool watch_job(Job& job);

// Waits for the server to end, stops the watcher passing signals on before
// the server's id is given back, collects it and returns its status,
// explaining on standard error an end that was not the server's own.
int wait_for_server(pid_t server, SignalWatcher& watcher);

// Collects every child of the launcher that has ended, without waiting.
void collect_ended_children();

}  // namespace launcher::platform
