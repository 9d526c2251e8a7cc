// Stop requests from elsewhere than the launcher's own process (its process
// group, a terminal, a container's PID namespace) reach the server once; a
// server ended by the stop gives its status. Each signal sent to the
// launcher itself: runtime_test.cpp.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "launcher_support.h"

namespace {

using test::launcher_options;
using test::ScratchDirectory;
using test::signal_report;

TEST(StopSignals, ServerKilledByTheForwardedSignalGivesItsStatus) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "out:" + test::hex("up\n") + ";sleep:20000");
    test::Child child(options);
    ASSERT_TRUE(child.wait_for_output("up\n"));
    const auto start = std::chrono::steady_clock::now();
    child.signal(SIGTERM);
    const auto result = child.finish();
    EXPECT_EQ(result.status, 143);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(StopSignals, SignalToTheLaunchersProcessGroupReachesTheServerOnce) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "signals:300");
    test::Child child(options);
    ASSERT_TRUE(child.wait_for_output("ready\n"));
    ASSERT_EQ(kill(-child.pid(), SIGTERM), 0);
    const auto result = child.finish();
    EXPECT_NE(result.out.find(signal_report(SIGTERM)), std::string::npos) << result.out;
    EXPECT_EQ(result.status, 0);
}

// On a terminal, Ctrl-C comes from the terminal itself, which signals the
// server too: the launcher must not send it again. A kill still goes on. A
// server that left the launcher's group (setsid) is out of the terminal's
// reach, and gets Ctrl-C from the launcher.
TEST(StopSignals, OnATerminalEachRequestReachesTheServerOnce) {
    struct Case {
        bool ctrl_c;
        bool own_session;
        std::string expected;
    };
    for (const Case& c :
         {Case{true, false, signal_report(SIGINT, 0)}, Case{false, false, signal_report(SIGTERM)},
          Case{true, true, signal_report(SIGINT)}}) {
        ScratchDirectory folder;
        auto options = launcher_options(folder, {}, "signals:300");
        options.input.reset();
        options.terminal = true;
        if (c.own_session) {
            std::filesystem::create_directory(folder.file("bin"));
            folder.write("bin/java", std::string("#!/bin/sh\nexec setsid \"") + FAKE_JAVA_DIR +
                                         "/java\" \"$@\"\n");
            std::filesystem::permissions(folder.file("bin/java"),
                                         std::filesystem::perms::owner_all);
            options.environment["PATH"] = folder.file("bin") + ":/usr/bin:/bin";
        }
        test::Child child(options);
        ASSERT_TRUE(child.wait_for_output("ready")) << child.out();
        if (c.ctrl_c) {
            child.send_input("\x03");  // the terminal's interrupt character
        } else {
            child.signal(SIGTERM);
        }
        const auto result = child.finish();
        // (The terminal shows each line feed as CR LF.)
        EXPECT_NE(result.out.find(c.expected.substr(0, c.expected.size() - 1) + "\r\n"),
                  std::string::npos)
            << result.out << (c.own_session ? " (own session)" : "");
        EXPECT_EQ(result.status, 0);
    }
}

// The launcher as process 1 of a new PID namespace, as in a container.
class AsProcessOne : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0) {
            GTEST_SKIP() << "needs root and unshare";
        }
    }

    test::Options options(const ScratchDirectory& folder, const std::string& actions) {
        auto result = launcher_options(folder, {}, actions);
        // --kill-child: a test that gives up and ends unshare ends the
        // launcher too, rather than leave it running as the namespace's init.
        result.argv.insert(result.argv.begin(),
                           {"/usr/bin/unshare", "--pid", "--fork", "--kill-child", "--mount-proc"});
        result.input.reset();
        return result;
    }

    // The launcher is the one child of unshare. The list of a task's
    // children is reliable only while they are stopped (proc(5)): it is
    // read again until the launcher shows.
    static pid_t launcher_pid(pid_t unshare) {
        long pid = 0;
        test::wait_until(
            [&] {
                std::ifstream children("/proc/" + std::to_string(unshare) + "/task/" +
                                       std::to_string(unshare) + "/children");
                children >> pid;
                return pid > 0;
            },
            std::chrono::seconds(5));
        return static_cast<pid_t>(pid);
    }
};

TEST_F(AsProcessOne, SigtermFromOutsideReachesTheServerOnce) {
    ScratchDirectory folder;
    test::Child child(options(folder, "signals:300"));
    ASSERT_TRUE(child.wait_for_output("ready\n")) << child.out();
    const pid_t launcher = launcher_pid(child.pid());
    ASSERT_GT(launcher, 0);
    ASSERT_EQ(kill(launcher, SIGTERM), 0);
    const auto result = child.finish(std::chrono::seconds(20));
    EXPECT_FALSE(result.timed_out);
    EXPECT_NE(result.out.find(signal_report(SIGTERM)), std::string::npos) << result.out;
    EXPECT_EQ(result.status, 0);
}

TEST_F(AsProcessOne, OrphansAreReaped) {
    ScratchDirectory folder;
    const auto result = test::run(options(folder, "orphan"));
    EXPECT_NE(result.out.find("orphan reaped\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.status, 0);
}

}  // namespace
