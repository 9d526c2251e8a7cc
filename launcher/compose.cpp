#include "compose.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <fstream>

namespace launcher {

namespace {

// The C `atoi` rule, fed one character at a time: leading white space (as
// isspace() takes it in the "C" locale), an optional sign, then decimal
// digits up to the first other character; no digits give 0. Values beyond
// the range of int saturate instead of overflowing.
class LeadingInteger {
public:
    void add(char c) {
        if (stage_ == Stage::space) {
            if (c == ' ' || (c >= '\t' && c <= '\r')) {
                return;
            }
            stage_ = Stage::digits;
            if (c == '+' || c == '-') {
                negative_ = c == '-';
                return;
            }
        }
        if (stage_ == Stage::digits) {
            if (c >= '0' && c <= '9') {
                magnitude_ = std::min(magnitude_ * 10 + (c - '0'), limit);
            } else {
                stage_ = Stage::done;
            }
        }
    }

    int value() const {
        if (negative_) {
            return static_cast<int>(-magnitude_);  // INT_MIN at the limit
        }
        return magnitude_ >= limit ? INT_MAX : static_cast<int>(magnitude_);
    }

private:
    static constexpr long long limit = static_cast<long long>(INT_MAX) + 1;
    enum class Stage { space, digits, done };
    Stage stage_ = Stage::space;
    bool negative_ = false;
    long long magnitude_ = 0;  // held at or below `limit`
};

// One line of the settings, seen one character at a time.
class SettingsLine {
public:
    void add(char c) {
        // The key's first letter occurs in it only once, so after a mismatch
        // a match can only start again at this character.
        if (!has_key_) {
            if (c == key_[matched_]) {
                has_key_ = ++matched_ == key_.size();
            } else {
                matched_ = c == key_[0] ? 1 : 0;
            }
        }
        whole_.add(c);
        if (has_equals_) {
            after_equals_.add(c);
        } else {
            has_equals_ = c == '=';
        }
    }

    // The line's value when it sets the key, or `current`.
    int value_or(int current) const {
        if (!has_key_) {
            return current;
        }
        return has_equals_ ? after_equals_.value() : whole_.value();
    }

private:
    static constexpr std::string_view key_ = server_memory_key;
    std::size_t matched_ = 0;
    bool has_key_ = false;
    bool has_equals_ = false;
    LeadingInteger whole_;         // the value when the line has no "="
    LeadingInteger after_equals_;  // what follows the first "="
};

}  // namespace

int read_server_memory(std::istream& settings, int current) {
    std::array<char, 4096> piece{};
    SettingsLine line;
    for (;;) {
        settings.read(piece.data(), piece.size());
        const std::streamsize got = settings.gcount();
        if (got <= 0) {
            break;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
            if (piece.at(i) == '\n') {
                current = line.value_or(current);
                line = SettingsLine();
            } else {
                line.add(piece.at(i));
            }
        }
    }
    return line.value_or(current);
}

bool exists_but_not_regular(const std::filesystem::path& path) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
}

int read_server_memory_file(const std::filesystem::path& path, int current) {
    if (exists_but_not_regular(path)) {
        return current;
    }
    std::ifstream settings(path);
    if (!settings.is_open()) {
        return current;
    }
    return read_server_memory(settings, current);
}

std::vector<std::string> collect_server_arguments(int argc, const char* const* argv,
                                                  std::vector<std::string>* ignored) {
    const auto has = [](std::string_view text, char c) {
        return text.find(c) != std::string_view::npos;
    };
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (!has(argument, '+')) {
            if (ignored != nullptr) {
                ignored->emplace_back(argument);
            }
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
    command.settings_not_regular = exists_but_not_regular(settings_path);
    command.server_memory = read_server_memory_file(settings_path, command.server_memory);
    std::error_code error;
    if (!command.settings_not_regular && std::filesystem::exists(settings_path, error)) {
        const std::ifstream settings(settings_path);
        if (!settings.is_open()) {
            // The stream opens the file with open(2), which left its reason.
            command.settings_unreadable = std::error_code(errno, std::generic_category());
        }
    }
    command.server_arguments = collect_server_arguments(argc, argv, &command.ignored_arguments);
    command.jvm_options.push_back(heap_option(command.server_memory));
    command.text = compose_command_text(command.jvm_options, command.server_arguments, quote);
    return command;
}

}  // namespace launcher
