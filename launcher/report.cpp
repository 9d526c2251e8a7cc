#include "report.h"

#include <cstdio>
#include <string>

namespace launcher {

namespace {

void write_to_stderr(const std::string& line) {
    // One write per message, so that messages of different threads never mix.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

void report(std::string_view message) {
    write_to_stderr(std::string(program_name) + ": " + std::string(message) + "\n");
}

void report(std::string_view what, const std::error_code& reason) {
    write_to_stderr(std::string(program_name) + ": " + std::string(what) + ": " + reason.message() +
                    "\n");
}

}  // namespace launcher
