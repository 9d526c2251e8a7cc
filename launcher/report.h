// The launcher's own messages. They go to standard error, prefixed with the
// program's name, so that standard output carries only the start-up lines
// and the server's bytes.
#pragma once

#include <string_view>
#include <system_error>

namespace launcher {

inline constexpr std::string_view program_name = "launcher";

// "launcher: <message>"
void report(std::string_view message);

// "launcher: <what>: <the system's reason>"
void report(std::string_view what, const std::error_code& reason);

}  // namespace launcher
