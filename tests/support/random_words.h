// Random words for the tests that check that any word survives a trip
// through a quoting or a parser: from a fixed seed, so that a failure
// repeats. Header-only and platform-neutral, for the unit tests too.
#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace test {

class RandomWords {
public:
    // Words of 0 to `longest` pieces, each piece one of `pieces` (single
    // characters or longer sequences such as UTF-8 characters).
    RandomWords(std::vector<std::string> pieces, std::size_t longest, unsigned seed)
        : pieces_(std::move(pieces)),
          random_(seed),
          length_(0, longest),
          pick_(0, pieces_.size() - 1) {}
    // Each byte of `characters` a piece.
    RandomWords(std::string_view characters, std::size_t longest, unsigned seed)
        : RandomWords(bytes_of(characters), longest, seed) {}

    std::string next() {
        std::string word;
        for (std::size_t n = length_(random_); n > 0; --n) {
            word += pieces_[pick_(random_)];
        }
        return word;
    }

    std::vector<std::string> next(std::size_t count) {
        std::vector<std::string> words;
        for (std::size_t i = 0; i < count; ++i) {
            words.push_back(next());
        }
        return words;
    }

private:
    static std::vector<std::string> bytes_of(std::string_view characters) {
        std::vector<std::string> result;
        for (const char c : characters) {
            result.emplace_back(1, c);
        }
        return result;
    }

    std::vector<std::string> pieces_;
    std::mt19937 random_;
    std::uniform_int_distribution<std::size_t> length_;
    std::uniform_int_distribution<std::size_t> pick_;
};

}  // namespace test
