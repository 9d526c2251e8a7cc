// The conversion between UTF-8 and UTF-16 at the edge of the Windows layer.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "utf16.h"

namespace {

using launcher::utf16_to_utf8;
using launcher::utf8_to_utf16;

// The bytes of a u8 literal, as the program's std::string holds them.
std::string bytes(std::u8string_view text) {
    return {text.begin(), text.end()};
}

TEST(Utf16, EveryScriptAndSizeConvertsBothWays) {
    // One, two, three and four bytes in UTF-8; one and two units in UTF-16.
    const std::u8string_view utf8 =
        u8"+name=A\u00e9\u00ff \u03a9\u03bb \u65e5\u672c\u8a9e\u30b5\u30fc\u30d0\u30fc "
        u8"\U0001f600\U0001f680\U0010fffd";
    const std::u16string_view utf16 =
        u"+name=A\u00e9\u00ff \u03a9\u03bb \u65e5\u672c\u8a9e\u30b5\u30fc\u30d0\u30fc "
        u"\U0001f600\U0001f680\U0010fffd";
    EXPECT_EQ(utf8_to_utf16(bytes(utf8)), utf16);
    EXPECT_EQ(utf16_to_utf8(utf16), bytes(utf8));
    EXPECT_EQ(utf8_to_utf16(""), u"");
    EXPECT_EQ(utf16_to_utf8(u""), "");
}

TEST(Utf16, EveryCodePointSurvivesTheRoundTrip) {
    // Every code point, in runs, surrogates included: as pairs for the code
    // points beyond the Basic Multilingual Plane, alone for themselves.
    std::u16string all;
    for (char32_t code_point = 0; code_point <= 0x10FFFF; ++code_point) {
        if (code_point < 0x10000) {
            all += static_cast<char16_t>(code_point);
        } else {
            all += static_cast<char16_t>(0xD800 + ((code_point - 0x10000) >> 10));
            all += static_cast<char16_t>(0xDC00 + ((code_point - 0x10000) & 0x3FF));
        }
    }
    const std::string utf8 = utf16_to_utf8(all);
    EXPECT_EQ(utf8_to_utf16(utf8), all);
    EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(utf8)), utf8);
}

TEST(Utf16, LoneSurrogatesOfACommandLineAreKept) {
    const std::u16string lone[] = {
        {u'a', char16_t{0xD800}, u'b'},                          // high without low
        {char16_t{0xDC00}},                                      // low without high
        {char16_t{0xDFFF}, char16_t{0xD83D}},                    // in the wrong order
        {char16_t{0xD83D}, char16_t{0xD83D}, char16_t{0xDE00}},  // a high, then a pair
    };
    for (const std::u16string& text : lone) {
        const std::string utf8 = utf16_to_utf8(text);
        EXPECT_EQ(utf8_to_utf16(utf8), text) << utf8;
    }
    EXPECT_EQ(utf16_to_utf8(std::u16string{char16_t{0xD800}}), "\xED\xA0\x80");
}

TEST(Utf16, MalformedUtf8GivesOneReplacementCharacterPerByte) {
    const struct {
        std::string_view utf8;
        std::u16string_view utf16;
    } cases[] = {
        {"a\x80z", u"a\uFFFDz"},                            // stray continuation byte
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong "/"
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},            // overlong "/"
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
        {"\xE6\x97", u"\uFFFD\uFFFD"},                      // truncated at the end
        {"\xE6\x97z", u"\uFFFD\uFFFDz"},                    // truncated before a letter
        {"\xFF\xFE", u"\uFFFD\uFFFD"},                      // never in UTF-8
    };
    for (const auto& [utf8, utf16] : cases) {
        EXPECT_EQ(utf8_to_utf16(utf8), utf16) << utf8;
    }
}

}  // namespace
