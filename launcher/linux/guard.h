// The guard: a process of the launcher's own that stops the server's job
// when the launcher dies, however it dies (even SIGKILL). The system's
// parent-death signal reaches only a direct child, and once for each thread
// of the launcher that ends; the guard instead sees the launcher's end as
// the end of a local socket that only the launcher holds, and then sends
// SIGTERM once to every process of the job. Linux only.
//
// The guard shares the launcher's memory (clone with CLONE_VM, not a
// thread): starting it copies nothing, which a fork of the launcher would
// (a millisecond of every start on a virtual machine), and it reads the
// server's group where the server's process left it. While the launcher
// lives it makes only calls that cannot fail, so that it never writes the
// errno of the launcher's thread it shares; what it does after the launcher
// has gone allocates nothing and takes no lock, since a launcher killed
// inside the allocator would hold it for good. A kernel that ends every
// process of a memory together (the out-of-memory killer; core dumps before
// Linux 5.16) ends the guard with the launcher.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <system_error>

#include "descriptor.h"

namespace launcher::platform {

struct Guard {
    pid_t pid = 0;            // 0: none, or collected already
    FileDescriptor lifeline;  // the launcher's end; close-on-exec
    // Where the server, before it executes, writes the id of its own process
    // group; nullptr when it shares the launcher's.
    std::atomic<pid_t>* server_group = nullptr;
};

// Starts the guard, once in the launcher's life. The job it stops is:
//   `shares_group` false: the process group whose id the server writes to
//                         `server_group`;
//   `shares_group` true:  the launcher's process group, less what does not
//                         descend from the launcher (the rest of a shell
//                         pipeline): the processes of that group that were
//                         the launcher's children, and their descendants in
//                         the group, found once the launcher's children have
//                         passed to their new parent.
// The guard blocks every signal it can, so that a terminal's Ctrl-C or
// hang-up of the group leaves it to its work. Returns the system's reason
// when it cannot be started. The lifeline ends only once every process that
// holds it has let go: a child that has not yet executed holds it too.
std::error_code start_guard(Guard& guard, bool shares_group);

// Ends the guard (SIGKILL) without its stopping anything: the job has ended.
// It is not waited for; the launcher's own reaper collects it.
void dismiss_guard(Guard& guard);

}  // namespace launcher::platform
