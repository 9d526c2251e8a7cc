#include "quote.h"

#include <algorithm>

namespace launcher {

namespace {

bool is_plain_for_shell(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    switch (c) {
    // clang-format off
    case '+': case '=': case '_': case '-': case '.': case ',': case ':': case '/':
    case '@': case '%':
        // clang-format on
        return true;
    default:
        return false;
    }
}

bool is_plain_for_cmd(char c) {
    // As for the shell, without "%", which cmd expands even inside quotes.
    return c != '%' && is_plain_for_shell(c);
}

// Appends `part` in double quotes for the C runtime's argument parsing.
void append_runtime_quoted(std::string& text, std::string_view part) {
    text += '"';
    std::size_t backslashes = 0;
    for (const char c : part) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            text.append(2 * backslashes + 1, '\\');
        } else {
            text.append(backslashes, '\\');
        }
        text += c;
        backslashes = 0;
    }
    text.append(2 * backslashes, '\\');
    text += '"';
}

bool is_special_for_cmd(char c) {
    switch (c) {
    // clang-format off
    case '"': case '^': case '&': case '|': case '<': case '>': case '(': case ')':
        // clang-format on
        return true;
    default:
        return false;
    }
}

bool is_plain_for_batch(char c) {
    return c != '=' && c != ',' && is_plain_for_cmd(c);
}

std::string quote_in_two_layers(std::string_view word) {
    // Layer 1: the command line the program's C runtime is to split.
    std::string for_runtime;
    std::size_t start = 0;
    for (;;) {
        const std::size_t percent = word.find('%', start);
        std::string part(word.substr(start, percent - start));  // to the end when npos
        for (char& c : part) {
            if (c == '\r' || c == '\n') {
                c = ' ';
            }
        }
        append_runtime_quoted(for_runtime, part);
        if (percent == std::string_view::npos) {
            break;
        }
        for_runtime += '%';
        start = percent + 1;
    }

    // Layer 2: cmd's escapes.
    std::string quoted;
    quoted.reserve(2 * for_runtime.size());
    for (const char c : for_runtime) {
        if (is_special_for_cmd(c)) {
            quoted += '^';
        }
        quoted += c;
    }
    return quoted;
}

}  // namespace

std::string quote_for_posix_shell(std::string_view word) {
    if (!word.empty() && std::ranges::all_of(word, is_plain_for_shell)) {
        return std::string(word);
    }
    std::string quoted = "'";
    for (const char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string quote_for_cmd(std::string_view word) {
    if (!word.empty() && std::ranges::all_of(word, is_plain_for_cmd)) {
        return std::string(word);
    }
    return quote_in_two_layers(word);
}

std::string quote_for_cmd_and_batch(std::string_view word) {
    if (!word.empty() && std::ranges::all_of(word, is_plain_for_batch)) {
        return std::string(word);
    }
    return quote_in_two_layers(word);
}

}  // namespace launcher
