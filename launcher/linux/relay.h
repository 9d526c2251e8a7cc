// Moving the server's output from its pipe to the launcher's standard output.
// On Linux the bytes go with splice(2) where the output takes it, and with
// read(2) and write(2) where it does not.
#pragma once

#include <string_view>
#include <system_error>

namespace launcher::platform {

// Writes all of `data` to `fd`, waiting whenever a non-blocking descriptor
// is full (EAGAIN) and going on after EINTR. Returns the system's reason
// when the descriptor cannot take it (a closed pipe, a full disk, a file
// size limit).
std::error_code write_all(int fd, std::string_view data);

// Copies everything from `from` to `to`, each piece as soon as it arrives,
// until `from` ends or the eventfd `stop` is written: then what `from` holds
// at that moment is still copied, and nothing more (a process that left the
// server's job may hold the pipe open for good).
//
// When `to` fails, the failure is reported on standard error and each later
// piece is tried again; what cannot be written is read and dropped, so that
// the writer never blocks on a full pipe, and one line says how many bytes
// were lost once `to` takes the output again. A failure to read `from` or to
// wait for it is reported and ends the relay: false then.
bool relay(int from, int to, int stop);

}  // namespace launcher::platform
