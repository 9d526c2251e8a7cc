// Starting a process that shares the launcher's memory (clone(2) with
// CLONE_VM, not a thread): the server's process until it executes, and the
// guard. Nothing of the launcher's memory is copied, which a fork does page
// table by page table.
#pragma once

#include <sched.h>
#include <sys/types.h>

#include <cstddef>
#include <span>

// The C library's own name for clone(). Sanitizers intercept clone() as if
// every clone were a fork, and their bookkeeping breaks in a child that
// shares the memory; this name reaches the same function uninterrupted.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __clone(int (*run)(void*), void* stack, int flags, void* argument, ...);

// Code that runs in such a child while the launcher's threads run on would
// share their sanitizer state (it lives in the thread's storage, which the
// child shares too): it is not instrumented.
#if defined(__clang__)
#define LAUNCHER_UNINSTRUMENTED __attribute__((disable_sanitizer_instrumentation))
#else
#define LAUNCHER_UNINSTRUMENTED __attribute__((no_sanitize_address, no_sanitize_thread))
#endif

namespace launcher::platform {

// Starts `run(argument)` in a new process that shares the launcher's memory,
// on `stack`, with `flags` added to CLONE_VM (SIGCHLD, CLONE_VFORK). Returns
// its pid, or -1 with errno set.
inline pid_t start_sharing_memory(int (*run)(void*), std::span<std::byte> stack, int flags,
                                  void* argument) {
    // The stack grows down on every architecture Linux builds this for but
    // one (PA-RISC).
    return __clone(run, stack.data() + stack.size(), CLONE_VM | flags, argument);
}

}  // namespace launcher::platform
