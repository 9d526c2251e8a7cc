// Starting the server on Linux: the POSIX shell runs the command text, with
// the server's standard output on a pipe, its group told to the guard.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <string>

namespace launcher::platform {

// The server's process, or why there is none.
struct StartedServer {
    pid_t pid = 0;   // 0: not started
    int status = 0;  // when not started: the status to end with (1, 126, 127)
};

// Starts `/bin/sh -c "exec <command_text>"` with standard output on `output`
// and standard input on `input` (the launcher's own when it is -1),
// in a process group of its own when `server_group` is given (whose id it
// writes there for the guard before it executes, see guard.h), with every
// signal in `reset` at its default action and none blocked. Returns once
// the shell executes; a failure is reported on standard error first.
StartedServer start_server(const std::string& command_text, int input, int output,
                           std::atomic<pid_t>* server_group, const sigset_t& reset);

}  // namespace launcher::platform
