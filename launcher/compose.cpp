#include "compose.h"

#include <climits>
#include <fstream>

namespace launcher {

bool file_can_be_opened(const std::filesystem::path& path) {
    std::ifstream file(path);
    return file.is_open();
}

int leading_integer(std::string_view text) {
    std::size_t i = 0;
    // The white space that isspace() accepts in the "C" locale.
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;  // magnitude, held below INT_MAX + 1
    constexpr long long limit = static_cast<long long>(INT_MAX) + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit) {
            value = limit;
        }
    }
    if (negative) {
        return static_cast<int>(-value);  // INT_MIN at the limit
    }
    return value >= limit ? INT_MAX : static_cast<int>(value);
}

int read_server_memory(std::istream& settings, int current) {
    std::string line;
    while (std::getline(settings, line)) {
        if (line.find(server_memory_key) == std::string::npos) {
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string_view value = equals == std::string::npos
                                           ? std::string_view(line)
                                           : std::string_view(line).substr(equals + 1);
        current = leading_integer(value);
    }
    return current;
}

int read_server_memory_file(const std::filesystem::path& path, int current) {
    if (!file_can_be_opened(path)) {
        return current;
    }
    std::ifstream settings(path);
    return read_server_memory(settings, current);
}

std::vector<std::string> collect_server_arguments(int argc, const char* const* argv) {
    const auto has = [](std::string_view text, char c) {
        return text.find(c) != std::string_view::npos;
    };
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (!has(argument, '+')) {
            continue;
        }
        const bool has_next = i + 1 < argc;
        if (has(argument, '=') || !has_next || has(argv[i + 1], '+')) {
            arguments.emplace_back(argument);
            continue;
        }
        arguments.push_back(std::string(argument) + "=" + argv[i + 1]);
        ++i;  // the value is used up
    }
    return arguments;
}

std::string heap_option(int server_memory) {
    return "-Xmx" + std::to_string(server_memory) + "m";
}

std::string compose_command_text(const std::vector<std::string>& jvm_options,
                                 const std::vector<std::string>& server_arguments,
                                 QuoteFunction quote) {
    std::string text = "java ";
    for (const std::string& option : jvm_options) {
        text += quote(option);
        text += ' ';
    }
    text += "-jar server.jar ";
    for (const std::string& argument : server_arguments) {
        text += quote(argument);
        text += ' ';
    }
    return text;
}

ServerCommand compose_server_command(const std::filesystem::path& settings_path, int argc,
                                     const char* const* argv, QuoteFunction quote) {
    ServerCommand command;
    command.server_memory = read_server_memory_file(settings_path, command.server_memory);
    command.server_arguments = collect_server_arguments(argc, argv);
    command.jvm_options.push_back(heap_option(command.server_memory));
    command.text = compose_command_text(command.jvm_options, command.server_arguments, quote);
    return command;
}

}  // namespace launcher
