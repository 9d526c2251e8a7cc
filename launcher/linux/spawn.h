// Starting a program on Linux: fork(2), the child's own steps, execve(2),
// with a close-on-exec pipe on which a child that cannot execute says which
// step failed and why.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <system_error>

#include "descriptor.h"

namespace launcher::platform {

// A child started and not yet known to have executed.
struct StartedChild {
    pid_t pid = 0;          // 0: none
    FileDescriptor report;  // ends when the child executes; carries a failure
};

// Why a child did not execute: the step of `prepare` that failed (its own
// numbers, from 1), or 0 for execve itself, and the system's reason.
struct StartFailure {
    int step = 0;
    std::error_code reason;
};

// Forks; the child runs `prepare` (async-signal-safe calls only, as after
// any fork of a process with threads; it returns the number of the step that
// failed with errno set, or 0), then executes `path` with `argv` and the
// environment. Returns the system's reason when there is no child.
std::error_code start_child(StartedChild& child, const char* path, const char* const* argv,
                            const std::function<int()>& prepare);

// Waits until `child` has executed: nothing then; otherwise collects it and
// says why it did not.
std::optional<StartFailure> await_execution(StartedChild& child);

}  // namespace launcher::platform
