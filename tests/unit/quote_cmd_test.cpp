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
#include "runtime_arguments.h"
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

// A batch file's "%*" goes through cmd a second time: both parses must leave
// the word whole and run nothing.
std::vector<std::string> batch_round_trip(const std::vector<std::string>& words) {
    std::string line = "java ";
    for (const std::string& word : words) {
        line += launcher::quote_for_cmd_and_batch(word);
        line += ' ';
    }
    const auto first = run_through_cmd(std::string_view(line));
    EXPECT_TRUE(first.faults.empty()) << "line: " << line << "\nfault: " << first.faults.front();
    const auto second = run_through_cmd(std::string_view(first.passed_on));
    EXPECT_TRUE(second.faults.empty())
        << "batch line: " << first.passed_on << "\nfault: " << second.faults.front();
    return split_arguments(std::string_view(second.passed_on).substr(5));
}

TEST(QuoteForBatch, WordsWithoutQuotesOrPercentSignsSurviveTheSecondParse) {
    const std::vector<std::string> words = {
        "+a=&echo x>pwned.txt&",  "+f=^",   "+g=a^^b", "+i=(x) | more", "+j=a\\",
        "+k=\\\\server\\share\\", "+l=a b", "",        "+m=!PATH!",     "+n=<in >out"};
    EXPECT_EQ(batch_round_trip(words), words);
    std::mt19937 random(20261208);
    const std::string alphabet = "ab \t\\^&|<>()!=;,*";
    std::uniform_int_distribution<std::size_t> length(0, 12);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> batch(8);
        for (std::string& word : batch) {
            for (std::size_t n = length(random); n > 0; --n) {
                word += alphabet[pick(random)];
            }
        }
        ASSERT_EQ(batch_round_trip(batch), batch);
    }
}

TEST(QuoteForBatch, BatchDelimitersAreQuoted) {
    // %1 to %9 of a batch file split at "=" and ",".
    EXPECT_EQ(launcher::quote_for_cmd_and_batch("+port=7777"), "^\"+port=7777^\"");
    EXPECT_EQ(launcher::quote_for_cmd_and_batch("+list=1,2"), "^\"+list=1,2^\"");
    EXPECT_EQ(launcher::quote_for_cmd_and_batch("+flag"), "+flag");
}

// The launcher's own model of the runtime's splitting agrees with the test's
// on what cmd passes on, and reads a double-byte code page's second bytes as
// part of their character.
TEST(QuoteForCmd, RuntimeSplitOfThePassedOnText) {
    const launcher::LeadBytes single_byte{};
    std::mt19937 random(20261209);
    const std::string alphabet = "ab \t\\\"%^&|<>()!=;,*";
    std::uniform_int_distribution<std::size_t> length(0, 12);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> words(8);
        for (std::string& word : words) {
            for (std::size_t n = length(random); n > 0; --n) {
                word += alphabet[pick(random)];
            }
        }
        const std::string line = command_line(words);
        std::vector<std::string> expected = {"java"};
        expected.insert(expected.end(), words.begin(), words.end());
        ASSERT_EQ(
            launcher::split_runtime_command_line(launcher::remove_cmd_escapes(line), single_byte),
            expected)
            << line;
    }

    // Code page 932: "\x83\x5c" is one katakana letter, whose second byte is
    // a backslash in ASCII; a parser blind to that reads \" as a literal quote.
    launcher::LeadBytes cp932{};
    for (int byte = 0x81; byte <= 0xfc; ++byte) {
        cp932[static_cast<std::size_t>(byte)] = byte <= 0x9f || byte >= 0xe0;
    }
    const std::string line = "java \"+a=\x83\x5c\" +b \"c \x83\x5c\x83\x5c\\\"\"";
    EXPECT_EQ(launcher::split_runtime_command_line(line, cp932),
              (std::vector<std::string>{"java", "+a=\x83\x5c", "+b", "c \x83\x5c\x83\x5c\""}));
    EXPECT_NE(launcher::split_runtime_command_line(line, single_byte),
              launcher::split_runtime_command_line(line, cp932));
}

}  // namespace
