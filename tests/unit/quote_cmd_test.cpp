// quote_for_cmd, checked against a model of the two parsers the quoted text
// goes through: cmd.exe's handling of a /c command line (percent expansion,
// then carets, quotes and the characters that run or redirect commands) and
// the C runtime's splitting of the command line into argv.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "quote.h"

namespace {

using launcher::quote_for_cmd;

// What cmd does with a command line, as far as the program it starts sees it.
struct CmdResult {
    std::string passed_on;            // the text the program receives
    std::vector<std::string> faults;  // expansions or commands cmd would act on
};

CmdResult run_through_cmd(std::string_view line) {
    CmdResult result;
    // Percent expansion comes first and ignores quotes and carets. A name that
    // could be defined is a fault; a name that starts with a double quote (or
    // a caret and a quote) cannot be. Every "%" is tried as the start of a
    // name, which covers both places where cmd may resume after an undefined
    // name.
    for (std::size_t open = line.find('%'); open != std::string_view::npos;
         open = line.find('%', open + 1)) {
        const std::size_t close = line.find('%', open + 1);
        if (close == std::string_view::npos) {
            break;
        }
        const std::string_view name = line.substr(open + 1, close - open - 1);
        if (!name.starts_with('"') && !name.starts_with("^\"")) {
            result.faults.push_back("expands %" + std::string(name) + "%");
        }
    }
    // Then carets and quotes: outside quotes a caret makes the next character
    // literal and is removed; an unescaped quote toggles the quoted state;
    // inside quotes everything is literal.
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            quoted = c != '"';
            result.passed_on += c;
            continue;
        }
        if (c == '^') {
            if (i + 1 == line.size()) {
                result.faults.push_back("caret at the end of the line");
                break;
            }
            result.passed_on += line[++i];
            continue;
        }
        if (c == '"') {
            quoted = true;
        } else if (std::string_view("&|<>()").find(c) != std::string_view::npos) {
            result.faults.push_back(std::string("acts on ") + c);
        } else if (c == '\n' || c == '\r') {
            result.faults.push_back("line break");
        }
        result.passed_on += c;
    }
    return result;
}

// The C runtime's argument splitting ("Parsing C command-line arguments"),
// for the part of the command line after the program's name.
std::vector<std::string> split_arguments(std::string_view line) {
    std::vector<std::string> arguments;
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        if (i == line.size()) {
            return arguments;
        }
        std::string argument;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
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
                    argument += '"';  // "" inside quotes: one literal quote
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
                continue;
            }
            argument.append(backslashes, '\\');
            if (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
                argument += line[i++];
            }
        }
        arguments.push_back(argument);
    }
}

// The arguments the server receives for `words`, composed as the launcher
// composes its command line; fails the test on anything cmd would act on.
std::vector<std::string> round_trip(const std::vector<std::string>& words) {
    std::string line = "java ";
    for (const std::string& word : words) {
        line += quote_for_cmd(word);
        line += ' ';
    }
    const CmdResult cmd = run_through_cmd(line);
    EXPECT_TRUE(cmd.faults.empty()) << "line: " << line << "\nfirst fault: " << cmd.faults.front();
    const std::string_view program = "java ";
    EXPECT_TRUE(cmd.passed_on.starts_with(program)) << cmd.passed_on;
    return split_arguments(std::string_view(cmd.passed_on).substr(program.size()));
}

TEST(QuoteForCmd, OrdinaryWordsStayAsTheyAre) {
    for (const char* word : {"-Xmx2048m", "+port=700", "+name=Alpha", "a+b", "+map=/maps/x.bin",
                             "+admin=me@example.org", "+list=1,2,3", "+time=12:30"}) {
        EXPECT_EQ(quote_for_cmd(word), word);
    }
}

TEST(QuoteForCmd, OtherWordsAreQuotedForBothParsers) {
    EXPECT_EQ(quote_for_cmd(""), "^\"^\"");
    EXPECT_EQ(quote_for_cmd("+name=a b"), "^\"+name=a b^\"");
    EXPECT_EQ(quote_for_cmd("+x=a&b"), "^\"+x=a^&b^\"");
    EXPECT_EQ(quote_for_cmd("+x=%PATH%"), "^\"+x=^\"%^\"PATH^\"%^\"^\"");
    EXPECT_EQ(quote_for_cmd("+dir=C:\\a b\\"), "^\"+dir=C:\\a b\\\\^\"");
    EXPECT_EQ(quote_for_cmd("+q=\\\"x"), "^\"+q=\\\\\\^\"x^\"");
}

TEST(QuoteForCmd, SpecialCharactersArriveUnchangedAndRunNothing) {
    const std::vector<std::string> words = {"+a=& echo pwned",
                                            "+b=x | more",
                                            "+c=<in >out",
                                            "+d=2>&1",
                                            "+e=(x)",
                                            "+f=^",
                                            "+g=a^^b",
                                            "+h=%PATH%",
                                            "+i=%SteamAppId%",
                                            "+j=%",
                                            "+k=%%",
                                            "+l=50%",
                                            "+m=%PATH:~0,3%",
                                            "+n=%=C:%",
                                            "+o=!PATH!",
                                            "+p=\"",
                                            "+q=\"\"",
                                            "+r=\"quoted\" & \"more\"",
                                            "+s=a\\",
                                            "+t=a\\\\",
                                            "+u=a\\\"b",
                                            "+v=\\\\server\\share\\",
                                            "+w=\t",
                                            "+x= ",
                                            "+y=*?",
                                            "+z=\"^\"&echo pwned",
                                            "",
                                            " ",
                                            "\"",
                                            "\\",
                                            "%\"PATH\"%",
                                            "%^PATH%"};
    EXPECT_EQ(round_trip(words), words);
}

TEST(QuoteForCmd, RandomWordsArriveUnchanged) {
    // Words from the characters that matter to either parser; several words
    // on one line, so that no state leaks from one word into the next.
    const std::string alphabet = "ab \t\\\"%^&|<>()!=;,*";
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::size_t> length(0, 12);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    for (int line = 0; line < 300; ++line) {
        std::vector<std::string> words(8);
        for (std::string& word : words) {
            for (std::size_t n = length(random); n > 0; --n) {
                word += alphabet[pick(random)];
            }
        }
        ASSERT_EQ(round_trip(words), words);
    }
}

TEST(QuoteForCmd, LineBreaksBecomeBlanks) {
    EXPECT_EQ(round_trip({"+motd=one\ntwo", "+x=a\r\n& echo pwned"}),
              (std::vector<std::string>{"+motd=one two", "+x=a  & echo pwned"}));
}

}  // namespace
