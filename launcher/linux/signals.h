// Stop requests and the job's end on Linux. The launcher takes the signals
// it passes on by blocking them in every thread and reading them from a
// signalfd on one thread, the runner: what each signal means is decided in
// one place (watch_job), with no handler.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include "job.h"

namespace launcher::platform {

// Whether the launcher runs in a terminal session: it has a controlling
// terminal, whether its group is in the terminal's foreground or not. The
// server then shares the launcher's process group, so that the terminal's
// Ctrl-C, Ctrl-Z, SIGTTIN and SIGTTOU and the shell's `fg` and `bg` act on
// the whole job, as on a server started from the shell itself.
bool in_terminal_session();

// The signals the launcher takes: every catchable asynchronous signal but
// the faults of its own code (SEGV, BUS, ILL, FPE, TRAP, ABRT), SIGPIPE and
// SIGXFSZ (ignored, so that a failed write is reported), the real-time
// signals the C library keeps, and any the launcher was started with
// ignored (nohup's SIGHUP, a background job's SIGINT and SIGQUIT), which
// stay ignored for the server too. SIGCHLD is always taken.
sigset_t signals_to_take();

// What the watch works with and what it finds.
struct Watch {
    Job job;
    int signals = -1;   // a signalfd of signals_to_take()
    int job_over = -1;  // an eventfd, written once the job is over or the watch failed
    int guard = -1;     // the guard's channel: told once the job is over
    bool leads_session = false;
    pid_t session_leader = 0;

    // Results:
    int wait_status = 0;  // the server's, as waitpid(2) gives it
    bool failed = false;  // the watch could not go on; reported already
};

// Watches the server's job, once the server is started. Until the job is
// over, it
//   - passes every signal taken on to the job once, as below, and does not
//     end the launcher;
//   - collects every child of the launcher that ends (the server, the
//     job's orphans);
//   - once the server is collected, looks every 100 ms whether anything of
//     the job is left (nothing says when a process that is not the
//     launcher's child ends), and when nothing is, dismisses the guard,
//     writes `job_over` and returns.
// What a signal means:
//   - SIGCHLD: a child of the launcher has ended.
//   - SIGTSTP, SIGTTIN, SIGTTOU in a terminal session: the job stops. One
//     from the terminal reached the whole group already; one from a process
//     is passed on. Then the launcher stops itself, so that the shell sees
//     the job stopped, and `fg` or `bg` continue it all.
//   - Any signal from the terminal (Ctrl-C, Ctrl-\) in a terminal session
//     reached the job already: only a server that left the group gets it.
//   - SIGHUP: a hang-up comes in copies (the kernel to the session leader
//     and the foreground group, the shell to each job's group): the server
//     gets one at most, and none when the copies reach its group anyway.
//   - Anything else is passed on to the job.
// A failure to wait, to read the signals or to collect the children is
// reported once; `failed` is set, `job_over` written, and it returns: the
// launcher then ends with 1, and its guard stops the job.
void watch_job(Watch& watch);

}  // namespace launcher::platform
