#include "runtime_arguments.h"

namespace launcher {

std::string remove_cmd_escapes(std::string_view text) {
    std::string passed_on;
    passed_on.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '^' && i + 1 < text.size()) {
            ++i;
        }
        passed_on += text[i];
    }
    return passed_on;
}

std::vector<std::string> split_runtime_command_line(std::string_view line,
                                                    const LeadBytes& lead_bytes) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    std::vector<std::string> arguments;
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && blank(line[i])) {
            ++i;
        }
        if (i == line.size()) {
            return arguments;
        }
        std::string argument;
        bool quoted = false;
        while (i < line.size() && (quoted || !blank(line[i]))) {
            const auto byte = static_cast<unsigned char>(line[i]);
            if (lead_bytes[byte] && i + 1 < line.size()) {
                argument += line.substr(i, 2);
                i += 2;
                continue;
            }
            std::size_t backslashes = 0;
            while (i < line.size() && line[i] == '\\') {
                ++backslashes;
                ++i;
            }
            if (i < line.size() && line[i] == '"') {
                argument.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) {
                    argument += '"';
                } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    argument += '"';
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
                continue;
            }
            argument.append(backslashes, '\\');
            if (backslashes == 0 && i < line.size()) {
                argument += line[i++];
            }
        }
        arguments.push_back(argument);
    }
}

}  // namespace launcher
