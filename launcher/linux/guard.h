// The guard: a process of the launcher's own that stops the server's job
// when the launcher dies, however it dies (SIGKILL, the out-of-memory
// killer). The system's parent-death signal reaches only a direct child; the
// guard instead sees the launcher's end as the end of a local socket that
// only the launcher, and a server process that has not yet executed, hold.
//
// It is a process forked before any thread starts, with memory of its own,
// named "launcher-guard" (ps, top, pgrep), in a process group of its own, so
// that a signal to the launcher's group (a panel, `timeout -s KILL`,
// `kill -9 %1` with the output redirected) does not take it down; it blocks
// every signal it can.
// The server's process tells it the job before it executes, so whenever the
// launcher dies, the guard knows the job. Then it sends SIGTERM once to
// every process of the job:
//   - the server's own group: to the group, in one call;
//   - the launcher's group (a terminal): once the launcher's children have
//     passed to their new parent, to the processes of the group among that
//     parent's children that started after the guard, and their
//     descendants in the group, walking again until nothing new appears.
//     A process of the same terminal job that the launcher did not start is
//     left alone, unless it was orphaned while the launcher ran.
// When the job ends with the launcher alive, the launcher dismisses the
// guard, which ends without signalling anything and is collected.
#pragma once

#include <sys/types.h>

#include <system_error>

#include "descriptor.h"

namespace launcher::platform {

struct Guard {
    pid_t pid = 0;           // 0: none, or collected already
    FileDescriptor channel;  // the launcher's end; close-on-exec
};

// Starts the guard, before any thread starts; the system's reason when it
// cannot.
std::error_code start_guard(Guard& guard);

// In the server's process, before it executes (async-signal-safe): tells the
// guard the job: the server's process, its group, and whether that is the
// launcher's. False, with errno set, when it cannot.
bool tell_guard(int channel, pid_t server, pid_t group, bool shares_group);

// The job has ended: the guard ends without signalling anything. False,
// with errno set, when it cannot be told.
bool tell_guard_job_over(int channel);

// Collects a guard that was told the job is over.
void collect_guard(Guard& guard);

// Both: the guard is told and collected.
void dismiss_guard(Guard& guard);

// The guard's whole life, in the forked process: `channel` is its end of
// the socket. Returns its exit status.
int run_guard(int channel);

}  // namespace launcher::platform
