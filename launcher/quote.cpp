#include "quote.h"

namespace launcher {

namespace {

bool is_plain_for_shell(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    switch (c) {
    case '+': case '=': case '_': case '-': case '.': case ',': case ':': case '/':
    case '@': case '%':
        return true;
    default:
        return false;
    }
}

}  // namespace

std::string quote_for_posix_shell(std::string_view word) {
    bool plain = !word.empty();
    for (const char c : word) {
        plain = plain && is_plain_for_shell(c);
    }
    if (plain) {
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

}  // namespace launcher
