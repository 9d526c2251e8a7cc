// Moving the server's output from its pipe to the launcher's standard output
// on Windows: read raw, with line feeds made CR LF.
#pragma once

#include "handle.h"

namespace launcher::platform {

// Writes all of `bytes` to `file` (WriteFile until done); the system's
// reason when it cannot take them (standard output closed, a full disk).
std::error_code write_all(HANDLE file, std::string_view bytes);

// Copies the server's output from `from` to `to` until it ends, each piece as
// soon as it is read, with line feeds made CR LF; no byte (a Ctrl-Z, a NUL)
// ends it early. `from` is the read end of a pipe opened for overlapped
// reads. The output ends when every holder of the pipe's write end has gone,
// or once `server` (the command processor) has ended and `job` has no
// process running: what the pipe then holds is relayed and the relay ends,
// within a second, even while a process that left the job keeps the pipe
// open. Without a job only the first applies.
// When `to` fails (or is null: no standard output), that is reported once
// and the rest is still read and dropped, so that the server never blocks on
// a full pipe; a read error ends the relay.
void relay(HANDLE from, HANDLE to, HANDLE server, HANDLE job);

}  // namespace launcher::platform
