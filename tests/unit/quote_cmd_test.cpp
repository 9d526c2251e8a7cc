// quote_for_cmd, checked against a model of the two parsers the quoted text
// goes through (cmd_model.h), on the UTF-8 text and on the UTF-16 text that
// Windows gets from it.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "cmd_model.h"
#include "quote.h"
#include "random_words.h"
#include "utf16.h"

namespace {

using cmd_model::run_through_cmd;
using cmd_model::split_arguments;
using launcher::quote_for_cmd;

// The arguments the server receives for `words`, composed as the launcher
// composes its command line; fails the test on anything cmd would act on.
std::string command_line(const std::vector<std::string>& words) {
    std::string line = "java ";
    for (const std::string& word : words) {
        line += quote_for_cmd(word);
        line += ' ';
    }
    return line;
}

std::vector<std::string> round_trip(const std::vector<std::string>& words) {
    const std::string line = command_line(words);
    const auto cmd = run_through_cmd(std::string_view(line));
    EXPECT_TRUE(cmd.faults.empty()) << "line: " << line << "\nfirst fault: " << cmd.faults.front();
    const std::string_view program = "java ";
    EXPECT_TRUE(cmd.passed_on.starts_with(program)) << cmd.passed_on;
    return split_arguments(std::string_view(cmd.passed_on).substr(program.size()));
}

// The same for the text as Windows gets it: the line converted to UTF-16,
// parsed by cmd.exe and the runtime in UTF-16, each argument converted back.
std::vector<std::string> wide_round_trip(const std::vector<std::string>& words) {
    const std::string line = command_line(words);
    const std::u16string wide = launcher::utf8_to_utf16(line);
    const auto cmd = run_through_cmd(std::u16string_view(wide));
    EXPECT_TRUE(cmd.faults.empty()) << "line: " << line << "\nfirst fault: " << cmd.faults.front();
    const std::u16string_view program = u"java ";
    EXPECT_TRUE(cmd.passed_on.starts_with(program));
    std::vector<std::string> arguments;
    for (const std::u16string& argument :
         split_arguments(std::u16string_view(cmd.passed_on).substr(program.size()))) {
        arguments.push_back(launcher::utf16_to_utf8(argument));
    }
    return arguments;
}

// Characters beyond ASCII of several scripts and sizes: Latin-1, Greek, CJK
// (among them characters whose second byte in the East Asian double-byte
// code pages is "|", "\\" or "^"), an emoji outside the Basic Multilingual
// Plane.
const std::vector<std::string> unicode_pieces = {
    "\u00e9", "\u00df", "\u00ff", "\u03a9", "\u03bb",     "\u65e5\u672c\u8a9e", "\u30dd",
    "\u30bd", "\u8868", "\u80fd", "\u5341", "\U0001f600", "\U0001f680"};

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
    test::RandomWords random("ab \t\\\"%^&|<>()!=;,*", 12, 20240611);
    for (int line = 0; line < 300; ++line) {
        const std::vector<std::string> words = random.next(8);
        ASSERT_EQ(round_trip(words), words);
    }
}

TEST(QuoteForCmd, UnicodeWordsArriveUnchangedInUtf16) {
    std::vector<std::string> words;
    for (const std::string& piece : unicode_pieces) {
        words.push_back("+name=" + piece);
        words.push_back("+a=" + piece + " & echo pwned");
        words.push_back("+b=" + piece + "|" + piece + "^\\\"%PATH%" + piece);
    }
    EXPECT_EQ(wide_round_trip(words), words);
    EXPECT_EQ(round_trip(words), words);
}

TEST(QuoteForCmd, RandomUnicodeWordsArriveUnchangedInUtf16) {
    std::vector<std::string> alphabet = {"a", " ", "\t", "\\", "\"", "%", "^",
                                         "&", "|", "<",  ">",  "(",  ")", "!"};
    alphabet.insert(alphabet.end(), unicode_pieces.begin(), unicode_pieces.end());
    test::RandomWords random(alphabet, 12, 20261207);
    for (int line = 0; line < 300; ++line) {
        const std::vector<std::string> words = random.next(8);
        ASSERT_EQ(wide_round_trip(words), words);
    }
}

TEST(QuoteForCmd, LineBreaksBecomeBlanks) {
    EXPECT_EQ(round_trip({"+motd=one\ntwo", "+x=a\r\n& echo pwned"}),
              (std::vector<std::string>{"+motd=one two", "+x=a  & echo pwned"}));
}

}  // namespace
