// Moving the server's output from its pipe to the launcher's standard output.
// On Linux the bytes go with splice(2) where the output takes it.
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
// until `from` ends or `stop` (an eventfd or pipe; -1 for none) becomes
// readable. After a stop, what `from` holds at that moment is still copied,
// and nothing more. When `to` fails, the failure is reported on standard
// error, and each later piece is tried again; what cannot be written is read
// and dropped, so that the writer never blocks on a full pipe, and one line
// says how many bytes were lost once `to` takes the output again. A read
// error is reported and ends the relay.
void relay(int from, int to, int stop = -1);

}  // namespace launcher::platform
