// The launcher's own messages. They go to standard error, prefixed with the
// program's name, so that standard output carries only the start-up lines
// and the server's bytes.
#pragma once

#include <string_view>
#include <system_error>

namespace launcher {

inline constexpr std::string_view program_name = "launcher";

// What both platforms say when the server's output cannot be moved on, or
// its end cannot be learnt.
inline constexpr std::string_view cannot_read_output = "cannot read the server's output";
inline constexpr std::string_view cannot_collect_status = "cannot collect the server's exit status";
inline constexpr std::string_view cannot_start_command_processor =
    "cannot start the command processor";

// "launcher: <message>"
void report(std::string_view message);

// "launcher: <what>: <the system's reason>"
void report(std::string_view what, const std::error_code& reason);

}  // namespace launcher
