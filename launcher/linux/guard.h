// The guard: a process of the launcher's own that stops the server's job
// when the launcher dies, however it dies (even SIGKILL). The system's
// parent-death signal reaches only a direct child, and once for each thread
// of the launcher that ends; the guard instead sees the launcher's end as
// the end of a local socket that only the launcher holds, and then sends SIGTERM
// once to every process of the job. Linux only.
#pragma once

#include <sys/types.h>

#include <system_error>

#include "descriptor.h"

namespace launcher::platform {

struct Guard {
    pid_t pid = 0;            // 0: none, or collected already
    FileDescriptor lifeline;  // the launcher's end; close-on-exec
};

// Starts the guard. The job it stops is:
//   `shares_group` false: the process group whose id the server writes on
//                         `lifeline` (its pid, as a pid_t) before it executes;
//   `shares_group` true:  the launcher's process group, less what does not
//                         descend from the launcher (the rest of a shell
//                         pipeline): the processes of that group that were
//                         the launcher's children, and their descendants in
//                         the group, found once the launcher's children have
//                         passed to their new parent.
// The guard ignores every signal it can, so that a terminal's Ctrl-C or
// hang-up of the group leaves it to its work. Returns the system's reason
// when it cannot be started. Call it before the launcher opens any
// descriptor that a child must not hold (the guard keeps what it inherits).
std::error_code start_guard(Guard& guard, bool shares_group);

// Ends the guard (SIGKILL) without its stopping anything: the job has ended.
// It is not waited for; the launcher's own reaper collects it.
void dismiss_guard(Guard& guard);

}  // namespace launcher::platform
