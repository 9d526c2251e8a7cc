// The launcher's platform layer: the few things that differ between Linux
// (linux.cpp with linux_*.cpp) and Windows (windows.cpp). CMake compiles
// exactly one of the two; the rest of the program is the same everywhere.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace launcher::platform {

// Sets up the process before any thread starts.
//   Linux:   makes sure descriptors 0 to 2 are open, ignores SIGPIPE and
//            SIGXFSZ (a closed or full standard output must not kill the
//            launcher while the server still runs) and unblocks every
//            signal. Nothing else is taken yet: until run_server starts the
//            server, a stop signal ends the launcher (128+N).
//   Windows: installs the console-control handler that keeps the launcher
//            alive on Ctrl-C and Ctrl-Break while the server shuts down.
void prepare_process();

// Sets `name`=`value` in this process's environment, so that every process
// started afterwards inherits it. Returns the system's reason on failure.
std::error_code set_environment(const char* name, const char* value);

// Quotes one word of the server command for this platform's command
// processor (the POSIX shell, or cmd.exe), leaving ordinary words unchanged.
std::string quote_argument(std::string_view word);

// Writes all of `text` to standard output, as the relay writes the server's
// bytes: a non-blocking output that is full is waited for, nothing is lost.
// Returns the system's reason when standard output cannot take it.
std::error_code write_output(std::string_view text);

// Runs `command_text` through the command processor with the server's
// standard output on a pipe, relays every byte that arrives to the
// launcher's standard output as soon as it is read, and waits for the
// server to end. Standard input and standard error are the launcher's own.
//   Linux:   every catchable asynchronous signal that reaches the launcher
//            while the server runs is passed on to it once and does not end
//            the launcher; what the terminal sent to the server as well is
//            not passed on again (linux_signals.h). The server gets SIGTERM
//            when the launcher dies, however it dies. The launcher ends once
//            the server has ended and nothing of its job (process group) is
//            left, even when a detached process keeps the pipe open; orphans
//            re-parented to the launcher are reaped. When the server does
//            not end normally (127, 126, a signal), one line on standard
//            error says why.
//   Windows: Ctrl-C and Ctrl-Break reach the server through the console;
//            the launcher only outlives them.
// Returns the server's exit status in the shell's convention: its own code,
// 128+N when a signal N ended it, 127 when the command processor could not
// be started. A failure of the launcher's own (no pipe, no process) is
// reported on standard error with the system's reason and gives a non-zero
// status; on Linux, status 1 before the server is started.
int run_server(const std::string& command_text);

}  // namespace launcher::platform
