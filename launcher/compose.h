// Turning the launcher's inputs into the one command line that starts the
// server: the heap size from "server.properties", the server arguments from
// the launcher's own arguments, and the command text itself.
//
// Nothing here touches the console or the process; every value is passed in
// and returned, so the rules can be tested on their own.
#pragma once

#include <filesystem>
#include <istream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace launcher {

inline constexpr int default_server_memory = 2048;  // MiB
inline constexpr const char* settings_file_name = "server.properties";
inline constexpr const char* server_memory_key = "server_memory";

// Everything composed for one run. The entry point owns it; it is complete
// before the server starts and is not changed afterwards.
struct ServerCommand {
    int server_memory = default_server_memory;
    // The settings file exists but is not a regular file (a FIFO, a device,
    // a socket): it was not read.
    bool settings_not_regular = false;
    // The settings file exists but cannot be opened: the system's reason.
    std::error_code settings_unreadable;
    std::vector<std::string> jvm_options;
    std::vector<std::string> server_arguments;
    // The launcher's arguments that were dropped, in their order.
    std::vector<std::string> ignored_arguments;
    std::string text;
};

// Quotes one word for the command processor, or returns it unchanged when
// the processor would take it as it is.
using QuoteFunction = std::string (*)(std::string_view);

// True when something exists at `path` (links followed) that is not a
// regular file: reading it could wait for ever (a FIFO without a writer) or
// never end (/dev/zero).
bool exists_but_not_regular(const std::filesystem::path& path);

// Applies every line of a settings stream that contains "server_memory"
// anywhere: the value is what follows the first "=" (the whole line when it
// has none), read by the C `atoi` rule, saturating beyond the range of int. The last such line
// wins; without one, `current` is returned unchanged. The stream is read in pieces of a fixed size:
// however long its lines, only one piece is held at a time.
int read_server_memory(std::istream& settings, int current);

// The same for the settings file at `path`; a file that cannot be opened, or
// is not a regular file, leaves `current` as it is, silently.
int read_server_memory_file(const std::filesystem::path& path, int current);

// Server arguments from the launcher's arguments (argv[0] is skipped):
// an argument containing "+" is taken; one with "+" but no "=" is joined by
// "=" to the next argument unless that one contains "+" too or there is
// none. Arguments without "+" that were not taken as a value are dropped;
// when `ignored` is given, they are appended to it in their order.
std::vector<std::string> collect_server_arguments(int argc, const char* const* argv,
                                                  std::vector<std::string>* ignored = nullptr);

// "-Xmx<memory>m", the one JVM option.
std::string heap_option(int server_memory);

// "java <options> -jar server.jar <arguments> ", every word followed by one
// blank. Each option and argument passes through `quote`.
std::string compose_command_text(const std::vector<std::string>& jvm_options,
                                 const std::vector<std::string>& server_arguments,
                                 QuoteFunction quote);

// Reads the settings file, collects the server arguments and composes the
// command text, in that order.
ServerCommand compose_server_command(const std::filesystem::path& settings_path, int argc,
                                     const char* const* argv, QuoteFunction quote);

}  // namespace launcher
