// The launcher's entry point: prepares the environment, composes the server
// command, shows it, runs it on the runner thread and waits for the server
// to end. Standard output carries the two start-up lines and then only the
// server's own bytes; the launcher's own messages go to standard error.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "compose.h"
#include "exit_status.h"
#include "platform.h"
#include "report.h"
#include "version.h"

namespace {

constexpr const char* store_app_id = "517093";

constexpr const char* usage_text =
    "Usage: launcher [--console PATH] [+key value | +key=value | +flag]...\n"
    "\n"
    "Starts the game server in the current folder: sets SteamAppId, reads\n"
    "server_memory (MiB, default 2048) from server.properties and runs\n"
    "  java -Xmx<server_memory>m -jar server.jar <server arguments>\n"
    "relaying the server's console output until it ends. Launcher options\n"
    "come first; from the first argument that contains \"+\" on, arguments\n"
    "that contain \"+\" become server arguments; \"+key value\" is passed as\n"
    "\"+key=value\". Other arguments are ignored, each named on standard\n"
    "error.\n"
    "\n"
    "  --console PATH, --console=PATH\n"
    "              also take the server's console input from a FIFO at PATH\n"
    "              (Linux): made for the run with no access for others (owner\n"
    "              read and write, group write), or the launcher's user's own\n"
    "              FIFO left there by an earlier run; removed when the\n"
    "              launcher ends. Each line written there, for instance with\n"
    "              echo 'say hi' > PATH, reaches the server whole, beside the\n"
    "              lines of the launcher's own standard input. Writers may\n"
    "              come and go. Anything else at PATH (a regular file, a\n"
    "              symbolic link, a directory, another user's FIFO) is refused\n"
    "              and left as it is, with status 1 and nothing started. A\n"
    "              PATH that contains \"+\" needs the form --console=PATH.\n"
    "              Windows refuses the option.\n"
    "  -h, --help  show this text and exit\n"
    "  --version   show the launcher's version, copyright and license and exit\n"
    "\n"
    "The exit status is the server's own; 1 when the launcher fails before\n"
    "the server starts, 2 for a command line it cannot use.\n";

// As LICENSE states them.
constexpr const char* version_text =
    "launcher " LAUNCHER_VERSION
    "\n"
    "Copyright (c) 2026 Quillmark Works\n"
    "MIT License: free to use, copy, modify and distribute; no warranty.\n";

void write_line(const std::string& line) {
    // A standard output that cannot take the line fails again for the
    // server's first bytes, and the relay reports that once; a message here
    // would only repeat it.
    (void)launcher::platform::write_output(line + "\n");
}

// The launcher's options, which come before the server arguments, and the
// arguments left for the server argument rules (argv[0] first).
struct LauncherOptions {
    std::optional<std::string> console;
    std::vector<std::string> arguments;
    std::string error;  // a command line that cannot be used: why
};

// Takes --console PATH and --console=PATH up to the first argument that
// contains "+"; from there on, every argument is left to the server argument
// rules, so that "+port --console" stays "+port=--console". PATH given
// apart may not contain "+": it would be the first server argument, and
// --console would have taken it by mistake.
LauncherOptions take_launcher_options(const std::vector<std::string>& arguments) {
    constexpr std::string_view option = "--console";
    LauncherOptions options;
    std::size_t i = 0;
    for (; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::optional<std::string> path;
        if (i > 0 && argument == option) {
            if (i + 1 < arguments.size() && arguments[i + 1].find('+') == std::string::npos) {
                path = arguments[++i];
            } else {
                path = "";
            }
        } else if (i > 0 && argument.starts_with(std::string(option) + "=")) {
            path = argument.substr(option.size() + 1);
        } else if (i > 0 && argument.find('+') != std::string::npos) {
            break;
        } else {
            options.arguments.push_back(argument);
            continue;
        }
        if (path->empty()) {
            options.error = "--console needs a PATH before the server arguments";
        } else if (options.console) {
            options.error = "--console is given more than once";
        }
        options.console = std::move(path);
    }
    options.arguments.insert(options.arguments.end(), arguments.begin() + static_cast<long>(i),
                             arguments.end());
    return options;
}

int launch(const std::vector<std::string>& arguments,
           const std::optional<std::string>& console_path) {
    launcher::platform::prepare_process();
    // Before anything is shown or started: a console that cannot be had
    // ends the launcher here.
    launcher::platform::ServerConsoleOwner console;
    if (console_path) {
        console = launcher::platform::open_console(*console_path);
        if (!console) {
            return launcher::launcher_failure;
        }
    }

    const std::error_code env_error = launcher::platform::set_environment("SteamAppId",
                                                                          store_app_id);
    if (!env_error) {
        write_line(std::string("Set environment variable to ") + store_app_id);
    } else {
        launcher::report("cannot set SteamAppId", env_error);
        write_line(std::string("Cannot change environment variable to ") + store_app_id);
    }

    std::vector<const char*> argv;
    argv.reserve(arguments.size());
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    const launcher::ServerCommand command = launcher::compose_server_command(
        launcher::settings_file_name, static_cast<int>(argv.size()), argv.data(),
        launcher::platform::quote_argument);
    if (command.settings_not_regular) {
        launcher::report(std::string(launcher::settings_file_name) +
                         " is not a regular file and is not read; server_memory is " +
                         std::to_string(command.server_memory));
    }
    if (command.settings_unreadable) {
        launcher::report(std::string("cannot read ") + launcher::settings_file_name +
                             "; server_memory is " + std::to_string(command.server_memory),
                         command.settings_unreadable);
    }
    for (const std::string& ignored : command.ignored_arguments) {
        launcher::report("ignoring '" + ignored + "': server arguments contain '+'");
    }
    write_line(command.text);

    int status = launcher::launcher_failure;
    try {
        // The server runs on a thread of its own, and the main thread waits
        // for it: the launcher's design, on every platform. On Linux this
        // thread is also the server's parent, whose end the server is tied
        // to, so it lives until the server has been collected.
        launcher::platform::start_runner();
        std::thread runner([&status, text = command.text, server_console = console.get()] {
            status = launcher::platform::run_server(text, server_console);
        });
        runner.join();
    } catch (const std::system_error& error) {
        launcher::report("cannot run the server runner thread", error.code());
        return launcher::launcher_failure;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments = launcher::platform::command_line_arguments(argc,
                                                                                          argv);
    if (arguments.size() == 2 && (arguments[1] == "--help" || arguments[1] == "-h")) {
        std::fputs(usage_text, stdout);
        return EXIT_SUCCESS;
    }
    if (arguments.size() == 2 && arguments[1] == "--version") {
        std::fputs(version_text, stdout);
        return EXIT_SUCCESS;
    }
    LauncherOptions options = take_launcher_options(arguments);
    if (!options.error.empty()) {
        launcher::report(options.error + " (launcher --help)");
        return launcher::usage_failure;
    }
    return launch(options.arguments, options.console);
}
