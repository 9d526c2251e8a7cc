// The settings reader holds a bounded amount in memory, however long the
// lines of the settings: run under an address-space limit far below the
// length of one line (Linux: fork and RLIMIT_AS).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

#include "compose.h"

namespace {

// `length` bytes of `fill` made up as they are read, then `tail`.
class GeneratedText : public std::streambuf {
public:
    GeneratedText(std::size_t length, char fill, std::string tail)
        : left_(length), tail_(std::move(tail)), block_(64 * 1024, fill) {}

protected:
    int_type underflow() override {
        if (left_ > 0) {
            const std::size_t size = std::min(left_, block_.size());
            left_ -= size;
            setg(block_.data(), block_.data(), block_.data() + size);
        } else if (!tail_given_) {
            tail_given_ = true;
            setg(tail_.data(), tail_.data(), tail_.data() + tail_.size());
        } else {
            return traits_type::eof();
        }
        return traits_type::to_int_type(*gptr());
    }

private:
    std::size_t left_;
    std::string tail_;
    bool tail_given_ = false;
    std::vector<char> block_;
};

TEST(SettingsReader, LongLinesNeedNoMemoryOfTheirLength) {
    if (LAUNCHER_TEST_SANITIZED) {
        GTEST_SKIP() << "an address-space limit and the sanitizers do not mix";
    }
    constexpr std::size_t line_length = std::size_t{384} << 20;  // 384 MiB
    struct Case {
        std::string tail;
        int expected;
    };
    // A long line without the key, and a long line that holds it.
    for (const Case& c : {Case{"\nserver_memory=77\n", 77}, Case{"server_memory=88", 0}}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const rlimit limit{std::size_t{128} << 20, std::size_t{128} << 20};
            if (setrlimit(RLIMIT_AS, &limit) != 0) {
                _exit(3);
            }
            GeneratedText text(line_length, c.expected == 0 ? '=' : 'x', c.tail);
            std::istream settings(&text);
            const int got = launcher::read_server_memory(settings, 1);
            _exit(got == c.expected ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << c.tail << ": wait status " << status;
    }
}

}  // namespace
