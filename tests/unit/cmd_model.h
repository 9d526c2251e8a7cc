// A model of the two parsers that the launcher's command text goes through
// on Windows: cmd.exe's handling of a /c command line (percent expansion,
// then carets, quotes and the characters that run or redirect commands) and
// the C runtime's splitting of the command line into argv. For narrow text
// and for UTF-16 text alike, as cmd.exe and the runtime see the same rules in
// both.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cmd_model {

// What cmd does with a command line, as far as the program it starts sees it.
template <typename Char>
struct CmdResult {
    std::basic_string<Char> passed_on;  // the text the program receives
    std::vector<std::string> faults;    // expansions or commands cmd would act on
};

template <typename Char>
constexpr Char ch(char c) {
    return static_cast<Char>(c);
}

template <typename Char>
CmdResult<Char> run_through_cmd(std::basic_string_view<Char> line) {
    using View = std::basic_string_view<Char>;
    CmdResult<Char> result;
    // Percent expansion comes first and ignores quotes and carets. A name that
    // could be defined is a fault; a name that starts with a double quote (or
    // a caret and a quote) cannot be. Every "%" is tried as the start of a
    // name, which covers both places where cmd may resume after an undefined
    // name.
    for (std::size_t open = line.find(ch<Char>('%')); open != View::npos;
         open = line.find(ch<Char>('%'), open + 1)) {
        const std::size_t close = line.find(ch<Char>('%'), open + 1);
        if (close == View::npos) {
            break;
        }
        const View name = line.substr(open + 1, close - open - 1);
        const bool starts_with_quote = !name.empty() && name[0] == ch<Char>('"');
        const bool starts_with_escaped_quote = name.size() >= 2 && name[0] == ch<Char>('^') &&
                                               name[1] == ch<Char>('"');
        if (!starts_with_quote && !starts_with_escaped_quote) {
            result.faults.push_back("expands a variable name of " + std::to_string(name.size()) +
                                    " characters at " + std::to_string(open));
        }
    }
    // Then carets and quotes: outside quotes a caret makes the next character
    // literal and is removed; an unescaped quote toggles the quoted state;
    // inside quotes everything is literal.
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const Char c = line[i];
        if (quoted) {
            quoted = c != ch<Char>('"');
            result.passed_on += c;
            continue;
        }
        if (c == ch<Char>('^')) {
            if (i + 1 == line.size()) {
                result.faults.push_back("caret at the end of the line");
                break;
            }
            result.passed_on += line[++i];
            continue;
        }
        if (c == ch<Char>('"')) {
            quoted = true;
        } else if (c == ch<Char>('&') || c == ch<Char>('|') || c == ch<Char>('<') ||
                   c == ch<Char>('>') || c == ch<Char>('(') || c == ch<Char>(')')) {
            result.faults.push_back("acts on " + std::string(1, static_cast<char>(c)) + " at " +
                                    std::to_string(i));
        } else if (c == ch<Char>('\n') || c == ch<Char>('\r')) {
            result.faults.push_back("line break");
        }
        result.passed_on += c;
    }
    return result;
}

// The C runtime's argument splitting ("Parsing C command-line arguments"),
// for the part of the command line after the program's name.
template <typename Char>
std::vector<std::basic_string<Char>> split_arguments(std::basic_string_view<Char> line) {
    const auto blank = [](Char c) { return c == ch<Char>(' ') || c == ch<Char>('\t'); };
    std::vector<std::basic_string<Char>> arguments;
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && blank(line[i])) {
            ++i;
        }
        if (i == line.size()) {
            return arguments;
        }
        std::basic_string<Char> argument;
        bool quoted = false;
        while (i < line.size() && (quoted || !blank(line[i]))) {
            std::size_t backslashes = 0;
            while (i < line.size() && line[i] == ch<Char>('\\')) {
                ++backslashes;
                ++i;
            }
            if (i < line.size() && line[i] == ch<Char>('"')) {
                argument.append(backslashes / 2, ch<Char>('\\'));
                if (backslashes % 2 == 1) {
                    argument += ch<Char>('"');
                } else if (quoted && i + 1 < line.size() && line[i + 1] == ch<Char>('"')) {
                    argument += ch<Char>('"');  // "" inside quotes: one literal quote
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
                continue;
            }
            argument.append(backslashes, ch<Char>('\\'));
            if (i < line.size() && (quoted || !blank(line[i]))) {
                argument += line[i++];
            }
        }
        arguments.push_back(argument);
    }
}

}  // namespace cmd_model
