// The server's console on a FIFO (--console PATH), with the stand-in
// runtime echoing the lines it reads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "launcher_support.h"

namespace {

using test::launcher_options;
using test::received;
using test::ScratchDirectory;
using test::startup_line;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

const std::string command_line = "java -Xmx2048m -jar server.jar \n";

// The launcher with a console at `fifo`, its standard input left open, the
// stand-in echoing `lines` lines before it ends.
test::Options console_options(const ScratchDirectory& folder, const std::string& fifo, int lines) {
    auto options = launcher_options(folder, {"--console", fifo},
                                    "echo-lines:" + std::to_string(lines));
    options.input.reset();
    return options;
}

bool is_fifo(const std::string& path) {
    struct stat found {};
    return ::lstat(path.c_str(), &found) == 0 && S_ISFIFO(found.st_mode);
}

// One writer: opens the FIFO, writes `pieces` with a pause between them,
// closes it.
void write_to(const std::string& fifo, const Strings& pieces) {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << fifo;
    for (const std::string& piece : pieces) {
        EXPECT_EQ(::write(fd, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::close(fd);
}

TEST(Console, WritersInTurnAndTheLaunchersOwnInputReachTheServer) {
    ScratchDirectory folder;
    const std::string fifo = folder.file("console");
    auto options = console_options(folder, fifo, 5);
    // The FIFO's mode does not depend on the umask.
    options.argv.insert(options.argv.begin(), {"/bin/sh", "-c", "umask 077; exec \"$0\" \"$@\""});
    test::Child child(options);
    ASSERT_TRUE(test::wait_until([&] { return is_fifo(fifo); }, std::chrono::seconds(10)));
    struct stat made {};
    ASSERT_EQ(::lstat(fifo.c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0620u);
    EXPECT_EQ(made.st_uid, ::geteuid());

    write_to(fifo, {"say one\n"});
    ASSERT_TRUE(child.wait_for_output("say one\n"));
    test::Options echo;
    echo.argv = {"/bin/sh", "-c", "echo 'say two' > \"$0\"", fifo};
    const auto shell = test::run(echo);
    EXPECT_EQ(shell.status, 0);
    ASSERT_TRUE(child.wait_for_output("say two\n"));
    // The launcher's own input, whose end ends neither the console nor a
    // last line without a line feed.
    child.send_input("say three\nno line feed");
    child.close_input();
    ASSERT_TRUE(child.wait_for_output("no line feed\n"));
    write_to(fifo, {"stop\n"});
    const auto result = child.finish();

    EXPECT_EQ(result.out,
              startup_line + command_line + "say one\nsay two\nsay three\nno line feed\nstop\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(fifo)));  // removed at the end
}

// A line written in two pieces stays whole although a line from the other
// source arrives between its pieces.
TEST(Console, LinesOfTwoWritersNeverInterleave) {
    ScratchDirectory folder;
    const std::string fifo = folder.file("console");
    test::Child child(console_options(folder, fifo, 6));
    ASSERT_TRUE(test::wait_until([&] { return is_fifo(fifo); }, std::chrono::seconds(10)));
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (int round = 0; round < 3; ++round) {
        const auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); };
        EXPECT_EQ(::write(fd, "fifo ", 5), 5);
        pause();
        child.send_input("input ");
        pause();
        EXPECT_EQ(::write(fd, "line\n", 5), 5);
        pause();
        child.send_input("line\n");
        pause();
    }
    ::close(fd);
    const auto result = child.finish();
    std::string lines;
    for (int round = 0; round < 3; ++round) {
        lines += "fifo line\ninput line\n";
    }
    EXPECT_EQ(result.out, startup_line + command_line + lines);
    EXPECT_EQ(result.status, 0);
}

TEST(Console, FifoOfAnEarlierRunIsUsedAgainAndRemovedAlsoWhenTheServerFails) {
    ScratchDirectory folder;
    const std::string fifo = folder.file("console");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(fifo.c_str(), 0666), 0);
    test::Child child(console_options(folder, fifo, 1));
    ASSERT_TRUE(child.wait_for_output(command_line));
    struct stat used {};
    ASSERT_EQ(::lstat(fifo.c_str(), &used), 0);
    EXPECT_EQ(used.st_mode & 07777, 0620u);  // others lose their access
    write_to(fifo, {"save\n"});
    const auto result = child.finish();
    EXPECT_EQ(result.out, startup_line + command_line + "save\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(fifo)));

    auto no_java = console_options(folder, fifo, 1);
    no_java.environment["PATH"] = folder.path();
    no_java.input = "";
    EXPECT_EQ(test::run(no_java).status, 127);
    EXPECT_FALSE(fs::exists(fs::symlink_status(fifo)));
}

// Nothing is started and what stands at PATH is left as it was.
TEST(Console, AnythingButTheUsersOwnFifoIsRefusedAndLeftAlone) {
    ScratchDirectory folder;
    folder.write("file", "kept\n");
    ASSERT_EQ(::mkfifo(folder.file("fifo").c_str(), 0600), 0);
    fs::create_symlink(folder.file("fifo"), folder.file("link"));
    fs::create_directory(folder.file("directory"));
    Strings refused = {"file", "link", "directory"};
    if (::geteuid() == 0) {
        ASSERT_EQ(::mkfifo(folder.file("other").c_str(), 0600), 0);
        ASSERT_EQ(::chown(folder.file("other").c_str(), 65534, 65534), 0);
        refused.push_back("other");
    }
    const auto listing = [&] {
        std::string text;
        for (const char* name : {"file", "fifo", "link", "directory", "other"}) {
            struct stat found {};
            if (::lstat(folder.file(name).c_str(), &found) == 0) {
                text += std::string(name) + " " + std::to_string(found.st_mode) + " " +
                        std::to_string(found.st_uid) + " " + std::to_string(found.st_mtime) + "\n";
            }
        }
        return text + *test::read_file(folder.file("file")) +
               fs::read_symlink(folder.file("link")).string();
    };
    const std::string before = listing();
    for (const std::string& name : refused) {
        const std::string path = folder.file(name);
        const auto result = test::run(launcher_options(folder, {"--console", path, "+port", "1"}));
        EXPECT_EQ(result.status, 1) << name;
        EXPECT_EQ(result.out, "") << name;
        EXPECT_EQ(result.err.find("launcher: cannot use '" + path + "' as the console: "), 0u)
            << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
    EXPECT_EQ(listing(), before);
    EXPECT_FALSE(fs::exists(folder.file("record")));  // no server
}

// Launcher options come first; from the first argument with "+" on, the
// server argument rules apply.
TEST(Console, OptionsEndWhereServerArgumentsBegin) {
    ScratchDirectory folder;
    const auto plain = test::run(launcher_options(folder, {"+port", "--console", "x"}));
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(received(folder).arguments,
              (Strings{"-Xmx2048m", "-jar", "server.jar", "+port=--console"}));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder.file("x"))));

    const std::string odd = folder.file("a+b");  // only in the form with "="
    auto joined = launcher_options(folder, {"--console=" + odd, "+name", "x"}, "echo-lines:1");
    joined.input = "hi\n";
    const auto with_plus = test::run(joined);
    EXPECT_EQ(with_plus.out, startup_line + "java -Xmx2048m -jar server.jar +name=x \nhi\n");
    EXPECT_EQ(with_plus.status, 0) << with_plus.err;

    for (const Strings& arguments :
         {Strings{"--console"}, Strings{"--console", "+port", "1"}, Strings{"--console="},
          Strings{"--console=a", "--console=b"}}) {
        const auto result = test::run(launcher_options(folder, arguments));
        EXPECT_EQ(result.status, 2) << arguments.back();
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder.file("a"))));
}

}  // namespace
