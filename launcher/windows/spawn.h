// Starting the server on Windows: cmd.exe of the system folder runs the
// command text, with the server's standard output on a pipe, inside a job
// object that ends it with the launcher.
#pragma once

#include <string>
#include <system_error>

#include "handle.h"

namespace launcher::platform {

// The server's command processor, or why there is none.
struct StartedServer {
    UniqueHandle process;  // none: not started
    UniqueHandle job;      // none when the system refused one (a warning was given)
    UniqueHandle output;   // the read end of the server's standard output
    int status = 0;        // when not started: the status to end with (1, 127)
};

// The cmd.exe that start_server starts: that of the system folder, not
// %ComSpec%, as the quoting is made for cmd.exe and no other command
// processor. A 32-bit launcher on 64-bit Windows (WOW64) starts the native
// one, %SystemRoot%\Sysnative\cmd.exe, whose file system is not redirected
// (System32 is the native folder for it, not SysWOW64): `native_view` says
// so, and its search for java must then be followed with the redirection
// turned off. Looked up once, on the first call; `error` holds the reason
// when there is no path.
struct CommandProcessor {
    std::wstring path;
    bool native_view = false;
    std::error_code error;
};
const CommandProcessor& command_processor();

// cmd.exe takes a command of at most 8191 characters ("Command prompt
// (Cmd.exe) command-line string limitation" in the Windows documentation);
// a longer one is cut or refused without the program being started.
inline constexpr std::size_t cmd_line_limit = 8191;

// Starts `cmd.exe /d /v:off /s /c "<command_text>"` with the launcher's
// standard input and error, suspended until it is in the job. A text longer
// than cmd.exe takes is refused; a failure is reported on standard error.
StartedServer start_server(const std::string& command_text);

}  // namespace launcher::platform
