// The launcher's signal policy while the server runs, in one owner: which
// signals it takes, which process group the server gets, where a signal is
// passed on to, and the watcher thread that does it. Linux only.
//
// A signal is taken by blocking it in every thread and reading it, with its
// origin, from a signalfd(2) on the watcher thread, which passes each signal
// on once: no handler runs, and a signal costs one wake-up of that thread.
// Signals are taken only from start() on: before that, a stop signal ends
// the launcher with its default action (128+N).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <pthread.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <system_error>
#include <vector>

#include "descriptor.h"

namespace launcher::platform {

// True when one of the standard descriptors 0 to 2 is the controlling
// terminal and the launcher's process group is its foreground group. The
// server then shares the launcher's process group, so that the terminal's
// Ctrl-C, Ctrl-Z, hang-up of the foreground group and `stty tostop` treat
// both as one job started from the shell. Otherwise the server gets a process
// group of its own.
bool holds_terminal_foreground();

class SignalWatcher {
public:
    // What the launcher's children are up to, after one changed state.
    enum class Children {
        running,     // nothing more to do until the next change
        look_again,  // in 100 ms: no event tells (the job runs on without the server)
        job_over,    // the server's job has ended: the watcher thread ends
    };
    // Called on the watcher thread when a child of the launcher changed
    // state, and again every 100 ms for as long as it says so. Once it says
    // the job is over, the watcher thread ends by itself, rather than when
    // stop() wakes it as the launcher ends; the signals taken from then on
    // are dropped, as after stop().
    using ChildEvents = std::function<Children()>;

    SignalWatcher() = default;
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;
    SignalWatcher(SignalWatcher&&) = delete;
    SignalWatcher& operator=(SignalWatcher&&) = delete;
    ~SignalWatcher();

    // Takes every catchable asynchronous signal the launcher does not ignore
    // already: blocks them in the calling thread (the threads it starts
    // later inherit that; every other thread must block them already, as the
    // main thread does from start_runner() on), so that they wait until run()
    // has started the watcher thread. Not taken: the faults of the
    // launcher's own code (SEGV, BUS, ILL, FPE, TRAP, ABRT), SIGPIPE and
    // SIGXFSZ (ignored, so that a failed write is reported), SIGTTIN and
    // SIGTTOU (the launcher's own access to its terminal), and, when the
    // server shares the launcher's group, SIGTSTP and SIGCONT, so that Ctrl-Z,
    // `fg` and `bg` stop and continue both as one job. On failure nothing is
    // left taken and the system's reason is returned.
    std::error_code start(bool shares_process_group, bool leads_session, ChildEvents on_child);
    // Starts the watcher thread; the system's reason when it cannot. The
    // thread runs on a stack of the launcher's own, kept for the process's
    // life, so that its end releases no stack pages (which costs a flush of
    // every processor's address cache as the launcher ends): one watcher
    // runs at a time in a process.
    std::error_code run();

    // The signals the launcher ignores that the server must get at their
    // default action: set them so in the server's process before it
    // executes, and unblock every signal there. The taken ones are at their
    // default action already; one that reaches that process before it
    // unblocks them takes that action then.
    const sigset_t& to_reset_in_server() const { return reset_in_server_; }

    // From now on, a signal is passed on by `send` (to the server's job),
    // told whether the terminal sent it to the launcher's group already.
    // What was taken since start() goes first. `send` runs on the watcher
    // thread, apart from that first call.
    using Send = std::function<void(int, bool)>;
    void forward_to(Send send);

    // Ends the watcher thread; the signals it took are dropped from then on
    // (the launcher is about to end, with the server's status). Called by
    // the destructor too.
    void stop();

private:
    void watch();
    void handle(int number, int code, pid_t sender);
    void forward(int number, bool from_terminal);
    void restore();  // unblocks what start() blocked

    bool shares_process_group_ = false;
    bool leads_session_ = false;
    ChildEvents on_child_;
    sigset_t reset_in_server_{};
    sigset_t earlier_mask_{};
    FileDescriptor signals_;  // a signalfd for the taken signals
    FileDescriptor stop_;     // an eventfd: stop() was called
    pthread_t thread_{};
    bool running_ = false;  // thread_ is to be joined

    pid_t session_leader_ = 0;
    // The watcher thread's own: when the last hang-up was passed on.
    std::chrono::steady_clock::time_point last_hang_up_{};
    bool hung_up_ = false;

    std::mutex mutex_;
    Send send_;                               // empty until the server is known
    std::vector<std::pair<int, bool>> held_;  // taken before the server existed
};

}  // namespace launcher::platform
