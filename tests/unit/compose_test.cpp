#include "compose.h"

#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include "quote.h"

namespace {

using launcher::collect_server_arguments;
using launcher::compose_command_text;
using launcher::read_server_memory;

int memory_from(const std::string& settings) {
    std::istringstream stream(settings);
    return read_server_memory(stream, launcher::default_server_memory);
}

std::vector<std::string> arguments_from(std::vector<const char*> argv) {
    argv.insert(argv.begin(), "launcher");
    return collect_server_arguments(static_cast<int>(argv.size()), argv.data());
}

std::string unquoted(std::string_view word) {
    return std::string(word);
}

TEST(ServerMemory, ValueFollowsTheAtoiRuleAndSaturates) {
    EXPECT_EQ(memory_from("server_memory= \t 768\n"), 768);
    EXPECT_EQ(memory_from("server_memory=+64\n"), 64);
    EXPECT_EQ(memory_from("server_memory=abc\n"), 0);
    EXPECT_EQ(memory_from("server_memory=- 5\n"), 0);
    EXPECT_EQ(memory_from("server_memory=2147483647\n"), INT_MAX);
    EXPECT_EQ(memory_from("server_memory=2147483648\n"), INT_MAX);
    EXPECT_EQ(memory_from("server_memory=99999999999999999999999\n"), INT_MAX);
    EXPECT_EQ(memory_from("server_memory=-2147483648\n"), INT_MIN);
    EXPECT_EQ(memory_from("server_memory=-99999999999999999999999\n"), INT_MIN);
}

TEST(ServerMemory, ReadsTheKeyWhereverItStands) {
    EXPECT_EQ(memory_from(""), 2048);
    EXPECT_EQ(memory_from("port=7777\nname=x\n"), 2048);
    EXPECT_EQ(memory_from("server_memory=512\n"), 512);
    EXPECT_EQ(memory_from("server_memory = 768\n"), 768);
    EXPECT_EQ(memory_from("server_memory=512MB\n"), 512);
    EXPECT_EQ(memory_from("server_memory=\n"), 0);
    EXPECT_EQ(memory_from("server_memory=-5\n"), -5);
    // No comment syntax: a commented-out line with the key still counts.
    EXPECT_EQ(memory_from("# server_memory=1024\n"), 1024);
    // A longer key that contains the text counts too.
    EXPECT_EQ(memory_from("max_server_memory=300\n"), 300);
    // The value starts after the first "=", even when the key comes later.
    EXPECT_EQ(memory_from("a=5 server_memory=700\n"), 5);
}

TEST(ServerMemory, LineWithoutEqualsSignIsItsOwnValue) {
    EXPECT_EQ(memory_from("server_memory 512\n"), 0);
    EXPECT_EQ(memory_from("  42 server_memory\n"), 42);
}

TEST(ServerMemory, LastUsedLineWinsAndLineEndsDoNotMatter) {
    EXPECT_EQ(memory_from("server_memory=512\nport=1\nserver_memory=1024\n"), 1024);
    EXPECT_EQ(memory_from("server_memory=512\r\nserver_memory=640\r\n"), 640);
    EXPECT_EQ(memory_from("port=1\nserver_memory=900"), 900);  // no final line feed
}

TEST(ServerMemory, MissingFileKeepsTheDefaultSilently) {
    EXPECT_EQ(launcher::read_server_memory_file("no/such/folder/server.properties", 2048), 2048);
}

TEST(ServerArguments, FollowTheJoiningRules) {
    using V = std::vector<std::string>;
    EXPECT_EQ(arguments_from({}), V{});
    EXPECT_EQ(arguments_from({"+port", "+name"}), (V{"+port", "+name"}));
    EXPECT_EQ(arguments_from({"+port"}), V{"+port"});
    EXPECT_EQ(arguments_from({"a+b"}), V{"a+b"});
    EXPECT_EQ(arguments_from({"plain", "+x", "1", "2", "+y=", "3"}), (V{"+x=1", "+y="}));
    // A value that holds "=" is still a value.
    EXPECT_EQ(arguments_from({"+motd", "a=b"}), V{"+motd=a=b"});
    // A value is joined however it looks, blanks and all.
    EXPECT_EQ(arguments_from({"+name", "two words"}), V{"+name=two words"});
    EXPECT_EQ(arguments_from({"+name", ""}), V{"+name="});
}

TEST(ServerArguments, ProgramNameNeverTakesPart) {
    const char* argv[] = {"odd+name", "700"};
    EXPECT_TRUE(collect_server_arguments(2, argv).empty());
}

TEST(CommandText, NegativeAndZeroHeapKeepTheirForm) {
    EXPECT_EQ(launcher::heap_option(-5), "-Xmx-5m");
    EXPECT_EQ(launcher::heap_option(0), "-Xmx0m");
}

TEST(CommandText, EveryWordPassesThroughTheQuoting) {
    EXPECT_EQ(compose_command_text({"-Xmx1m"}, {"+a=b c"}, unquoted),
              "java -Xmx1m -jar server.jar +a=b c ");
    EXPECT_EQ(compose_command_text({"-Xmx1m"}, {"+a=b c"}, launcher::quote_for_posix_shell),
              "java -Xmx1m -jar server.jar '+a=b c' ");
}

}  // namespace
