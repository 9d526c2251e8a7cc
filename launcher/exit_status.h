// How the server ended, in the shell's convention, and the one line the
// launcher says about it. Both platforms decide what happened; the status
// and the words are the same everywhere.
#pragma once

#include <string>

namespace launcher {

// The launcher's own failure: no pipe, no process, no thread, a command that
// cannot be carried; nothing of the server is running then.
inline constexpr int launcher_failure = 1;

// A command line the launcher cannot use; nothing has started.
inline constexpr int usage_failure = 2;

// The shell's status when the command processor itself cannot be started.
inline constexpr int command_processor_missing = 127;

// What the platform saw of the server's end.
struct ServerEnd {
    enum class How {
        exited,               // `code` is the server's own exit code
        signalled,            // ended by signal `code`, named `signal_name` ("KILL")
        java_not_found,       // the command processor found no java; `code` is its status
        java_not_executable,  // java was found but could not be run; `code` likewise
    };
    How how = How::exited;
    int code = 0;
    std::string signal_name;
};

// The exit status the launcher ends with: the code, or 128+N for signal N.
int exit_status(const ServerEnd& end);

// One line on standard error when the server did not end on its own: a
// signal, or java that did not run; nothing for an exit, whatever its code.
void explain_server_end(const ServerEnd& end);

}  // namespace launcher
