// The launcher's platform layer: the few things that differ between Linux
// and Windows. CMake builds one platform's folder (linux/ or windows/) behind
// this header; the rest of the program is the same everywhere. Each folder
// has one file per concern under the same name: platform.cpp (this seam),
// spawn, job, relay, signals, arguments (and on Linux guard and console).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace launcher::platform {

// Sets up the process before any thread starts.
//   Linux:   makes sure descriptors 0 to 2 are open, ignores SIGPIPE and
//            SIGXFSZ (a closed or full standard output must not kill the
//            launcher while the server still runs), sets SIGCHLD to its
//            default and unblocks every signal. Until start_runner, a stop
//            signal ends the launcher (128+N).
//   Windows: installs the console-control handler that keeps the launcher
//            alive on Ctrl-C and Ctrl-Break while the server shuts down, and
//            on the console closing, logoff and shutdown until the server
//            has ended (the launcher's end would end the server at once).
void prepare_process();

// Called on the main thread just before it starts the thread that calls
// run_server, and then only waits for it.
//   Linux:   starts the guard of the server's job (a process forked while
//            the launcher has one thread), and blocks the signals the
//            launcher passes on, in this thread and the threads started from
//            now on: they wait for the runner's watch of the job, none is
//            lost while the server starts.
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

// The server's console input from a named pipe, for an operator who starts
// the launcher as a service or in a container (`--console PATH`).
//   Linux:   a FIFO at PATH, made with mode 0620 (owner read and write,
//            group write, nothing for others), or the FIFO of the
//            launcher's own user that an earlier run left there. The
//            launcher holds it open, so that writers coming and going never
//            end the server's input. The server's standard input is then a
//            pipe of the launcher's, which receives whole lines from the
//            FIFO and from the launcher's own standard input (a terminal,
//            `docker attach`; once that ends, or fails as a terminal does
//            for a launcher in its background, the FIFO goes on alone): a line
//            from one never lands inside a line from the other. Lines that
//            separate writers put into the FIFO at the same time stay whole
//            when each is written in one piece of at most PIPE_BUF (4096)
//            bytes, as echo and printf do; the FIFO cannot tell its writers
//            apart. A last line without a line feed at the end of the
//            launcher's standard input is passed on with one; in the FIFO,
//            text without a line feed waits for the rest of its line, and a
//            line longer than 64 KiB is passed on in pieces. Once the server
//            has closed its standard input, what is written is dropped. The
//            FIFO is removed when the owner is destroyed, if what is at PATH
//            is still that FIFO.
//   Windows: refused: not part of this build.
// Anything else at PATH (a regular file, a symbolic link, a directory, a
// device, another user's FIFO) is refused and left as it is. A refusal or a
// failure writes one line naming PATH on standard error and gives nothing;
// the launcher then ends with status 1 before anything has started.
class ServerConsole;
struct ServerConsoleDeleter {
    void operator()(ServerConsole* console) const;
};
using ServerConsoleOwner = std::unique_ptr<ServerConsole, ServerConsoleDeleter>;
// After prepare_process(), on the main thread, before any other starts.
ServerConsoleOwner open_console(const std::string& path);

// Runs `command_text` through the command processor with the server's
// standard output on a pipe, relays what arrives to the launcher's standard
// output as soon as it is read, and waits for the server to end. Standard
// input is `console`'s when one is given (open_console), else the
// launcher's own; standard error is the launcher's own. When the server does not
// end on its own (a signal, java not found or not executable), one line on
// standard error says why.
//
// The command processor and the server's job:
//   Linux:   `/bin/sh -c "exec <command_text>"`, so that the shell becomes
//            the runtime, started with fork and execve. The job is the
//            server and what it starts in its process group:
//              - in a terminal session (the launcher has a controlling
//                terminal, in the foreground or not), the launcher's own
//                group, so that Ctrl-C, Ctrl-Z, SIGTTIN, SIGTTOU and the
//                shell's `fg` and `bg` act on the whole job as on a server
//                started from the shell; the job is then the launcher's
//                descendants in that group;
//              - otherwise (a service, a container, a panel) a group of the
//                server's own.
//            When the launcher dies, however it dies, its guard, a process
//            of its own ("launcher-guard", in a group of its own), sends
//            SIGTERM once to every process of the job.
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
//            the job once and does not end the launcher; what the terminal
//            sent to the job's group as well is not passed on again, nor a
//            second copy of a hang-up. A stop from the terminal (Ctrl-Z,
//            SIGTTIN, SIGTTOU) stops the launcher with its job, so that the
//            shell sees the job stopped.
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
// the server left running. So does a failure to wait for signals or the
// output, or to collect the server (Linux): the job is stopped.
int run_server(const std::string& command_text, ServerConsole* console);

}  // namespace launcher::platform
