// Fuzzes argument translation and quoting together. The input is the
// launcher's argument list, NUL-separated. For every input, the command
// text composed from the collected server arguments, split into words the
// way the POSIX shell splits it, must give back exactly "java", the heap
// option, "-jar", "server.jar" and the server arguments; and the shell must
// find nothing in it to expand or run.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compose.h"
#include "quote.h"

namespace {

// Characters the shell takes literally outside quotes, wherever they are in
// a word. Everything else outside quotes is an operator, a separator, an
// expansion, a pattern or a comment or tilde start, and is refused here.
bool literal_outside_quotes(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("+-.,/:=@%_").find(c) != std::string_view::npos;
}

// Splits `text` into words by the shell's quoting rules (POSIX XCU 2.2 and
// 2.6.5 with the default IFS): blanks separate words; a backslash outside
// quotes keeps the next character (and joins lines on a newline); single
// quotes keep everything up to the next single quote; double quotes keep
// everything but "$", "`" and "\", where a backslash keeps only "$", "`",
// "\"", "\\" and newline. No value when the text holds anything the shell
// would expand, run or treat as an operator, or a quote that is not closed.
std::optional<std::vector<std::string>> split_like_the_shell(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t') {
            if (in_word) {
                words.push_back(word);
                word.clear();
                in_word = false;
            }
        } else if (c == '\\') {
            if (++i == text.size()) {
                return std::nullopt;
            }
            if (text[i] != '\n') {
                word += text[i];
                in_word = true;
            }
        } else if (c == '\'') {
            const std::size_t close = text.find('\'', i + 1);
            if (close == std::string_view::npos) {
                return std::nullopt;
            }
            word.append(text.substr(i + 1, close - i - 1));
            in_word = true;
            i = close;
        } else if (c == '"') {
            in_word = true;
            for (++i;; ++i) {
                if (i == text.size() || text[i] == '$' || text[i] == '`') {
                    return std::nullopt;
                }
                if (text[i] == '"') {
                    break;
                }
                if (text[i] == '\\' && i + 1 < text.size() &&
                    std::string_view("$`\"\\\n").find(text[i + 1]) != std::string_view::npos) {
                    ++i;
                    if (text[i] == '\n') {
                        continue;
                    }
                }
                word += text[i];
            }
        } else if (literal_outside_quotes(c)) {
            word += c;
            in_word = true;
        } else {
            return std::nullopt;
        }
    }
    if (in_word) {
        words.push_back(word);
    }
    return words;
}

void fail(const char* what, std::string_view text) {
    std::fprintf(stderr, "%s\ncommand text: [%.*s]\n", what, static_cast<int>(text.size()),
                 text.data());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> arguments = {"launcher"};
    for (std::size_t start = 0; start <= input.size();) {
        const std::size_t end = std::min(input.find('\0', start), input.size());
        arguments.emplace_back(input.substr(start, end - start));
        start = end + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);

    const std::vector<std::string> server_arguments = launcher::collect_server_arguments(
        static_cast<int>(arguments.size()), argv.data());
    const std::string heap = launcher::heap_option(static_cast<int>(size) * 37 - 500);
    const std::string text = launcher::compose_command_text({heap}, server_arguments,
                                                            launcher::quote_for_posix_shell);

    std::vector<std::string> expected = {"java", heap, "-jar", "server.jar"};
    expected.insert(expected.end(), server_arguments.begin(), server_arguments.end());
    const auto words = split_like_the_shell(text);
    if (!words) {
        fail("the shell would expand or run part of the command text", text);
    }
    if (*words != expected) {
        fail("the shell would split the command text into other words", text);
    }
    for (const std::string& argument : server_arguments) {
        if (argument.find('+') == std::string::npos) {
            fail("a server argument without \"+\"", text);
        }
    }
    return 0;
}
