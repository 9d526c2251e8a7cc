// Moving the server's output from its pipe to the launcher's standard output.
// On Linux the bytes go with splice(2) where the output takes it.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <mutex>
#include <string_view>
#include <system_error>

#include "descriptor.h"

namespace launcher::platform {

// Writes all of `data` to `fd`, waiting whenever a non-blocking descriptor
// is full (EAGAIN) and going on after EINTR. Returns the system's reason
// when the descriptor cannot take it (a closed pipe, a full disk, a file
// size limit).
std::error_code write_all(int fd, std::string_view data);

// Ends a relay from another thread, also while the relay waits in a system
// call: the relay makes one call per piece and never polls for a stop.
//
// A request swaps the descriptor the relay reads from for a socket whose
// peer is closed (dup3(2)), so that the relay's next call sees an end at
// once (a splice to an output that is not a pipe refuses the socket, and the
// read that follows sees the end), and interrupts a call already in progress
// with SIGPIPE, sent to the relay's thread alone (tgkill(2)), whose handler
// does nothing and does not restart the call. SIGPIPE because the launcher
// does not pass it on to the server and a write to a closed output fails
// with EPIPE as when it is ignored; execve(2) resets a caught signal, so the
// server gets it at its default action. The handler replaces the launcher's
// "ignore" for SIGPIPE from prepare() until the stop is destroyed. The real
// pipe stays open, on a copy, for what the relay moves after the stop.
class RelayStop {
public:
    RelayStop() = default;
    RelayStop(const RelayStop&) = delete;
    RelayStop& operator=(const RelayStop&) = delete;
    RelayStop(RelayStop&&) = delete;
    RelayStop& operator=(RelayStop&&) = delete;
    ~RelayStop();

    // On the thread that relays from `from`, before it does and before
    // anything may request the stop; the system's reason when the stop
    // cannot be set up.
    std::error_code prepare(int from);
    // From any thread, at any time: ends the relay. Nothing once it is over.
    void request();

    // The relay's, once its calls have seen the end of `from`: from now on
    // nothing is swapped. The real input when a stop was requested, for
    // what it held then; none otherwise.
    FileDescriptor end();

private:
    std::mutex lock_;
    // Under `lock_`:
    bool active_ = false;  // between prepare() and end()
    bool requested_ = false;
    int from_ = -1;
    pid_t thread_ = 0;
    FileDescriptor kept_;   // the real input, once `from_` may be swapped
    FileDescriptor ended_;  // a socket whose peer is closed
    bool handler_set_ = false;
    struct sigaction earlier_ {};  // SIGPIPE's action before prepare()
};

// Copies everything from `from` to `to`, each piece as soon as it arrives,
// with one system call per piece, until `from` ends or `stop` (prepared for
// `from`; none when null) is requested. After a stop, what `from` held at
// that moment is still copied, and nothing more. When `to` fails, the
// failure is reported on standard error, and each later piece is tried
// again; what cannot be written is read and dropped, so that the writer
// never blocks on a full pipe, and one line says how many bytes were lost
// once `to` takes the output again. A read error is reported and ends the
// relay.
void relay(int from, int to, RelayStop* stop = nullptr);

}  // namespace launcher::platform
