// The launcher's UTF-16 conversion and the model of argument splitting
// (tests/unit/cmd_model.h), compared with what Windows itself does:
// MultiByteToWideChar and WideCharToMultiByte for UTF-8, CommandLineToArgvW
// for the splitting of quoted command lines.
#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "cmd_model.h"
#include "quote.h"
#include "utf16.h"

namespace {

std::u16string system_utf8_to_utf16(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return {wide.begin(), wide.end()};
}

std::string system_utf16_to_utf8(const std::u16string& text) {
    const std::wstring wide(text.begin(), text.end());
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                        nullptr, nullptr);
    return utf8;
}

TEST(Utf16OnWindows, AgreesWithTheSystemOnEveryScalarValue) {
    std::u16string all;
    for (char32_t code_point = 1; code_point <= 0x10FFFF; ++code_point) {
        if (code_point >= 0xD800 && code_point <= 0xDFFF) {
            continue;  // the system replaces lone surrogates; the launcher keeps them
        }
        if (code_point < 0x10000) {
            all += static_cast<char16_t>(code_point);
        } else {
            all += static_cast<char16_t>(0xD800 + ((code_point - 0x10000) >> 10));
            all += static_cast<char16_t>(0xDC00 + ((code_point - 0x10000) & 0x3FF));
        }
    }
    const std::string utf8 = launcher::utf16_to_utf8(all);
    EXPECT_EQ(utf8, system_utf16_to_utf8(all));
    EXPECT_EQ(launcher::utf8_to_utf16(utf8), system_utf8_to_utf16(utf8));
}

// The text that cmd.exe passes on, split by the system: every word arrives.
TEST(Utf16OnWindows, QuotedWordsSplitBySystemArriveUnchanged) {
    const std::vector<std::string> alphabet = {
        "a", " ", "\t", "\\", "\"",     "%",      "^",      "&",      "|",      "<",
        ">", "(", ")",  "!",  "\u00e9", "\u03a9", "\u65e5", "\u30dd", "\u30bd", "\U0001f600"};
    std::mt19937 random(20261207);
    std::uniform_int_distribution<std::size_t> length(0, 10);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> words(6);
        std::string line = "java ";
        for (std::string& word : words) {
            for (std::size_t n = length(random); n > 0; --n) {
                word += alphabet[pick(random)];
            }
            line += launcher::quote_for_cmd(word) + " ";
        }
        const std::u16string wide = launcher::utf8_to_utf16(line);
        const auto cmd = cmd_model::run_through_cmd(std::u16string_view(wide));
        ASSERT_TRUE(cmd.faults.empty()) << line;
        const std::wstring passed_on(cmd.passed_on.begin(), cmd.passed_on.end());

        int count = 0;
        wchar_t** split = CommandLineToArgvW(passed_on.c_str(), &count);
        ASSERT_NE(split, nullptr);
        std::vector<std::string> arguments;
        for (int i = 1; i < count; ++i) {
            const std::wstring_view argument(split[i]);
            arguments.push_back(
                launcher::utf16_to_utf8(std::u16string(argument.begin(), argument.end())));
        }
        LocalFree(split);
        ASSERT_EQ(arguments, words) << line;
    }
}

}  // namespace
