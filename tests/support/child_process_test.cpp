// Checks of the bare start()/wait_for() pair and of the scratch folders; the
// end-to-end tests exercise Child.
#include "child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "processes.h"

namespace {

std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno != EINTR) {
            throw std::system_error(errno, std::system_category(), "read");
        }
        text.append(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
    }
    return text;
}

// Runs a shell script from /dev/null to /dev/null and returns its status.
int status_of(const std::string& script) {
    const test::Descriptor null = test::open_null();
    return test::wait_for(
        test::start({"/bin/sh", "-c", script}, {"PATH=/usr/bin:/bin"}, null.get(), null.get()));
}

TEST(Start, WiresInputOutputAndExactlyTheEnvironmentGiven) {
    test::Pipe input = test::make_pipe();
    test::Pipe output = test::make_pipe();
    const pid_t pid = test::start(
        {"/bin/sh", "-c", "read line; printf '%s|%s|%s' \"$line\" \"$WORD\" \"${HOME-unset}\""},
        {"WORD=kept", "PATH=/usr/bin:/bin"}, input.read.get(), output.write.get());
    input.read = test::Descriptor();
    output.write = test::Descriptor();
    ASSERT_EQ(write(input.write.get(), "hello\n", 6), 6);
    input.write = test::Descriptor();
    EXPECT_EQ(read_all(output.read.get()), "hello|kept|unset");
    EXPECT_EQ(test::wait_for(pid), 0);
}

TEST(Start, ExitCodesAndSignalsAsTheShellCountsThem) {
    EXPECT_EQ(status_of("exit 3"), 3);
    EXPECT_EQ(status_of("kill -TERM $$"), 128 + SIGTERM);
    EXPECT_EQ(status_of("kill -KILL $$"), 128 + SIGKILL);
}

TEST(Start, TheChildGetsDefaultSignalActionsAndNoBlockedSignals) {
    // What the caller ignores or blocks must not carry over: a shell that
    // starts with SIGTERM ignored cannot be stopped by it.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGTERM, &ignore, &previous), 0);
    sigset_t blocked, old_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &old_mask), 0);
    const int term = status_of("kill -TERM $$; exit 0");
    const int interrupt = status_of("kill -INT $$; exit 0");
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGTERM, &previous, nullptr);
    EXPECT_EQ(term, 128 + SIGTERM);
    EXPECT_EQ(interrupt, 128 + SIGINT);
}

TEST(Start, AProgramThatCannotStartThrowsWithTheReason) {
    try {
        test::start({"/nonexistent/program"}, {}, 0, 1);
        FAIL() << "started a program that does not exist";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ENOENT);
        EXPECT_NE(std::string(error.what()).find("/nonexistent/program"), std::string::npos);
    }
    EXPECT_THROW(test::wait_for(getpid()), std::system_error);
}

// A child that ends and leaves a process holding its output: finish() gives
// up with the reason instead of waiting for that process.
TEST(Child, FinishFailsWhenAProcessTheChildStartedHoldsItsOutput) {
    test::Options options;
    options.argv = {"/bin/sh", "-c", "echo started; sleep 60 & exit 0"};
    test::Child child(options);
    const pid_t group = child.pid();
    const auto start = std::chrono::steady_clock::now();
    try {
        (void)child.finish(std::chrono::milliseconds(300));
        ADD_FAILURE() << "finish() returned while the output was still held open";
    } catch (const std::runtime_error& error) {
        const std::string what = error.what();
        EXPECT_NE(what.find("still held its standard output or error open"), std::string::npos)
            << what;
        EXPECT_NE(what.find("standard output so far:\nstarted\n"), std::string::npos) << what;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    kill(-group, SIGKILL);  // the sleep left behind
}

TEST(ScratchDirectory, NamedAfterItsPrefixAndRemovedWithItsContents) {
    std::string path;
    {
        const test::ScratchDirectory folder("support-check");
        path = folder.path();
        EXPECT_EQ(std::filesystem::path(path).filename().string().rfind("support-check-", 0), 0u);
        std::filesystem::create_directories(folder.file("a/b"));
        folder.write("a/b/c", "bytes");
        EXPECT_EQ(test::read_file(folder.file("a/b/c")), "bytes");
        const test::ScratchDirectory other("support-check");
        EXPECT_NE(other.path(), path);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
