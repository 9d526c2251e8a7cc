#include "line_ends.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

namespace {

using launcher::LineEndTranslator;

std::string translate(std::initializer_list<std::string_view> pieces) {
    LineEndTranslator translator;
    std::string out;
    for (const std::string_view piece : pieces) {
        translator.translate(piece, out);
    }
    return out;
}

TEST(LineEndTranslator, LineFeedsBecomeCarriageReturnLineFeed) {
    EXPECT_EQ(translate({"one\ntwo\n"}), "one\r\ntwo\r\n");
    EXPECT_EQ(translate({"\n\n"}), "\r\n\r\n");
    EXPECT_EQ(translate({""}), "");
}

TEST(LineEndTranslator, CarriageReturnsAreKept) {
    EXPECT_EQ(translate({"one\r\ntwo\r\n"}), "one\r\ntwo\r\n");
    EXPECT_EQ(translate({"50%\r75%\r100%\n"}), "50%\r75%\r100%\r\n");
    EXPECT_EQ(translate({"a\r\r\nb\r"}), "a\r\r\nb\r");
}

TEST(LineEndTranslator, PieceBoundariesDoNotMatter) {
    EXPECT_EQ(translate({"a\r", "\nb"}), "a\r\nb");
    EXPECT_EQ(translate({"a", "\n"}), "a\r\n");
    EXPECT_EQ(translate({"a\r", "", "\n"}), "a\r\n");
    EXPECT_EQ(translate({"a\r", "b", "\n"}), "a\rb\r\n");

    // Every split of a mixed text into two pieces gives the same as one piece.
    const std::string_view text = "x\r\n\n\r\r\n\ry\n\r";
    const std::string whole = translate({text});
    EXPECT_EQ(whole, "x\r\n\r\n\r\r\n\ry\r\n\r");
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        EXPECT_EQ(translate({text.substr(0, cut), text.substr(cut)}), whole) << "cut at " << cut;
    }
}

TEST(LineEndTranslator, EveryOtherByteIsKept) {
    std::string bytes;
    for (int value = 0; value < 256; ++value) {
        if (value != '\n') {
            bytes += static_cast<char>(value);
        }
    }
    EXPECT_EQ(translate({bytes}), bytes);
    // A Ctrl-Z and a NUL are ordinary bytes, also before a line end.
    EXPECT_EQ(translate({std::string_view("a\x1a\0b\n", 5)}), std::string("a\x1a\0b\r\n", 6));
}

}  // namespace
