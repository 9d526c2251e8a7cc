// Fuzzes the settings reader: for any bytes, read_server_memory must give
// what a plain reference gives: strtol on the value of the last line that
// holds "server_memory", saturated to the range of int, or the current value
// when no line holds it.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "compose.h"

namespace {

int reference_server_memory(std::string_view text, int current) {
    int result = current;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.find("server_memory") == std::string_view::npos) {
            continue;
        }
        const std::size_t equals = line.find('=');
        // strtol stops at the first NUL byte, as it stops at any non-digit.
        const std::string value(equals == std::string_view::npos ? line : line.substr(equals + 1));
        const long parsed = std::strtol(value.c_str(), nullptr, 10);
        result = parsed > INT_MAX ? INT_MAX : parsed < INT_MIN ? INT_MIN : static_cast<int>(parsed);
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // The value that stays when no line sets one; varied with the input.
    const int current = static_cast<int>(size % 4096) - 100;
    std::istringstream settings(text);
    const int got = launcher::read_server_memory(settings, current);
    const int expected = reference_server_memory(text, current);
    if (got != expected) {
        std::fprintf(stderr, "read_server_memory gave %d, the reference %d\n", got, expected);
        std::abort();
    }
    return 0;
}
