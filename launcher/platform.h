// The launcher's platform layer: the few things that differ between Linux
// and Windows. CMake builds one platform's folder (linux/ or windows/) behind
// this header; the rest of the program is the same everywhere. Each folder
// has one file per concern under the same name: platform.cpp (this seam),
// spawn, job, relay, signals, arguments.
#pragma once

#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace launcher::platform {

// Sets up the process before any thread starts.
//   Linux:   makes sure descriptors 0 to 2 are open, ignores SIGPIPE and
//            SIGXFSZ (a closed or full standard output must not kill the
//            launcher while the server still runs), sets SIGCHLD to its
//            default and unblocks every signal. Until run_server starts the server, a stop signal
//            ends the launcher (128+N).
//   Windows: installs the console-control handler that keeps the launcher
//            alive on Ctrl-C and Ctrl-Break while the server shuts down, and
//            on the console closing, logoff and shutdown until the server
//            has ended (the launcher's end would end the server at once).
void prepare_process();

// Called on the main thread just before it starts the thread that calls
// run_server, and then only waits for it.
//   Linux:   blocks every signal but the faults in the main thread, so that
//            none is delivered there; run_server unblocks them for its own
//            thread (a mask the launcher was started with included).
//   Windows: nothing.
void start_runner();

// The launcher's own arguments as UTF-8, argv[0] included.
//   Linux:   argv as the system gave it (`argc`, `argv` of main).
//   Windows: split from the wide command line (GetCommandLineW,
//            CommandLineToArgvW), so that no character is lost to the ANSI
//            code page; `argc` and `argv` serve only when that fails.
std::vector<std::string> command_line_arguments(int argc, char** argv);

// Writes all of `text`, UTF-8, to standard output; returns the system's
// reason when it cannot.
//   Linux:   the bytes as they are, written as the relay writes the
//            server's: a non-blocking output that is full is waited for.
//   Windows: line feeds become CR LF. A console is given the characters
//            (WriteConsoleW), a pipe or file the text in the ANSI code page,
//            with "?" for characters that the code page lacks.
std::error_code write_output(std::string_view text);

// Sets `name`=`value` in this process's environment, so that every process
// started afterwards inherits it. Returns the system's reason on failure.
std::error_code set_environment(const char* name, const char* value);

// Quotes one word of the server command for this platform's command
// processor (the POSIX shell, or cmd.exe), leaving ordinary words unchanged.
//   Windows: when cmd.exe's search finds a batch file for java (java.bat,
//            java.cmd), or cannot be followed for sure, also for the batch
//            file's second parse (looked up once, on the first call).
std::string quote_argument(std::string_view word);

// Runs `command_text` through the command processor with the server's
// standard output on a pipe, relays what arrives to the launcher's standard
// output as soon as it is read, and waits for the server to end. Standard
// input and standard error are the launcher's own. When the server does not
// end on its own (a signal, java not found or not executable), one line on
// standard error says why.
//
// The command processor and the server's job:
//   Linux:   `/bin/sh -c "exec <command_text>"`, so that the shell becomes
//            the runtime. The job is the server's process group (its own,
//            or the launcher's when the launcher holds the terminal's
//            foreground: then the launcher's descendants in that group).
//            When the launcher dies, however it dies, a guard process of its
//            own sends SIGTERM once to every process of the job.
//   Windows: `cmd.exe /d /v:off /s /c "<command_text>"` from the system
//            folder (under WOW64 the native one, Sysnative), so that neither
//            AutoRun commands nor delayed expansion from the registry apply,
//            with the text in UTF-16. cmd.exe inherits only its three
//            standard handles. The job is a job object that ends everything
//            in it when the launcher ends. Refused before anything starts:
//            a text longer than cmd.exe takes; an argument that the Java
//            runtime would not receive unchanged in the ANSI code page, from
//            which its launcher takes its arguments (GetCommandLineA, made
//            with best fit); with a batch-file java, an argument with a
//            double quote or a "%" (runtime.h).
//
// Stop requests:
//   Linux:   every catchable asynchronous signal that reaches the launcher
//            while the server's job runs is passed on to every process of
//            the job once and does not end the launcher; what the terminal,
//            the kernel or the session's shell sent to the job's group as
//            well is not passed on again, nor a second copy of a hang-up.
//   Windows: Ctrl-C and Ctrl-Break reach the server through the console;
//            the launcher only outlives them.
//
// The relay and its end:
//   Linux:   the bytes as they are. It ends once the server has ended and
//            nothing of its job is left, even when a process that left the
//            job keeps the pipe open; orphans re-parented to the launcher are
//            collected as they end (waitid), and what is left of the job is
//            found from the job itself, not from every process on the
//            machine.
//   Windows: line feeds become CR LF (a CR LF stays as it is). It ends when
//            every holder of the pipe's write end has gone, or once cmd.exe
//            has ended and no process of its job runs (what the pipe holds
//            then is still relayed), even when a process that left the job
//            keeps the pipe open.
//
// Returns the server's exit status in the shell's convention: its own code;
// 128+N when a signal N ended it (Linux); 127 when the command processor
// cannot be found and 126 when it cannot be executed (Linux); cmd.exe's own
// status, such as 9009 for a command it does not find (Windows; the hint
// that java was not found only when the launcher's own search found none
// and no process beyond cmd.exe ran). A failure of
// the launcher's own (no pipe, no process, a command too long) is reported
// on standard error with the system's reason and gives 1, with nothing of
// the server left running.
int run_server(const std::string& command_text);

}  // namespace launcher::platform
