// The launcher's runtime on Linux in the setups operators use: a terminal
// that hangs up, any signal, a launcher that is killed, a server that leaves
// a daemon behind or hides behind a wrapper script, job control, settings
// that are not files, and the launcher's own failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "launcher_support.h"

namespace {

using namespace std::chrono_literals;
using test::gone;
using test::hex;
using test::launcher_options;
using test::received;
using test::ScratchDirectory;
using test::signal_report;
using test::startup_line;
using test::state_of;
using test::wait_until;

const std::string default_command = "java -Xmx2048m -jar server.jar \n";

// Ends a stand-in that a failing launcher left behind.
void end_if_running(long pid) {
    if (pid > 0 && !gone(pid)) {
        kill(static_cast<pid_t>(pid), SIGKILL);
    }
}

// Waits for the stand-in's signal report, then makes sure the stand-in has
// ended, so that a launcher that failed to pass a signal on cannot leave the
// test waiting for its output.
void await_report(const ScratchDirectory& folder, long server) {
    wait_until([&] { return std::filesystem::exists(folder.file("record.signals")); }, 5s);
    wait_until([&] { return gone(server) || state_of(server).state == 'Z'; }, 2s);
    end_if_running(server);
}

long server_pid(const ScratchDirectory& folder) {
    long pid = 0;
    wait_until([&] { return (pid = received(folder).pid) > 0; }, 10s);
    return pid;
}

// When the launcher leads its session (tmux, ssh -t, a terminal window), a
// hang-up reaches it alone; the server must get it once and save.
TEST(Runtime, TerminalHangUpReachesTheServerWhenTheLauncherLeadsItsSession) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "signals:300");
    options.input.reset();
    options.terminal = true;
    test::Child child(options);
    ASSERT_TRUE(child.wait_for_output("ready")) << child.out();
    const long server = server_pid(folder);
    child.hang_up();
    await_report(folder, server);
    const auto result = child.finish(15s);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(test::read_file(folder.file("record.signals")), signal_report(SIGHUP));
}

#if defined(__SANITIZE_THREAD__)
constexpr bool under_thread_sanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool under_thread_sanitizer = true;
#else
constexpr bool under_thread_sanitizer = false;
#endif
#else
constexpr bool under_thread_sanitizer = false;
#endif

// Any signal that would end the launcher by default, the stop signals
// first, goes to the server instead, once; the launcher stays to relay the
// server's last words and ends with its status.
TEST(Runtime, EveryCatchableSignalReachesTheServerOnce) {
    for (const int signal :
         {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPROF, SIGVTALRM, SIGXCPU,
          SIGIO, SIGPWR, SIGSYS, SIGWINCH, SIGURG, SIGRTMIN, SIGRTMIN + 3, SIGRTMAX}) {
        // ThreadSanitizer's own thread leaves SIGSYS unblocked (for seccomp
        // sandboxes) and takes it at its default action; valgrind keeps
        // SIGRTMAX for itself and stops on an assertion when SIGSYS comes.
        const bool under_valgrind = std::getenv("LAUNCHER_TEST_WRAPPER") != nullptr;
        if ((signal == SIGSYS && (under_thread_sanitizer || under_valgrind)) ||
            (signal == SIGRTMAX && under_valgrind)) {
            continue;
        }
        ScratchDirectory folder;
        auto options = launcher_options(folder, {}, "signals:100;exit:7");
        options.input.reset();
        test::Child child(options);
        ASSERT_TRUE(child.wait_for_output("ready\n")) << child.out();
        const long server = server_pid(folder);
        child.signal(signal);
        await_report(folder, server);
        const auto result = child.finish(10s);
        EXPECT_EQ(result.out, startup_line + default_command + "ready\n" + signal_report(signal))
            << "signal " << signal;
        EXPECT_EQ(result.status, 7) << "signal " << signal;  // the server ended by itself
        EXPECT_EQ(result.err, "") << "signal " << signal;
    }
}

// A file size limit on the launcher's output: the write fails, the failure
// is reported, the server runs to its end and its status comes through.
TEST(Runtime, FileSizeLimitOnTheOutputIsAWriteFailure) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "lines:200;exit:4");
    options.argv.insert(options.argv.begin(),
                        {"/bin/sh", "-c", "ulimit -f 2; exec \"$0\" \"$@\" > out"});
    const auto result = test::run(options, 20s);
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.err,
              "launcher: cannot write to standard output; the server's output is dropped "
              "until it can be written again: File too large\n");
    EXPECT_EQ(std::filesystem::file_size(folder.file("out")), 1024u);
}

TEST(Runtime, KilledLauncherStopsItsServer) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "signals:100");
    options.input.reset();
    test::Child child(options);
    ASSERT_TRUE(child.wait_for_output("ready\n")) << child.out();
    const long server = server_pid(folder);
    child.signal(SIGKILL);
    await_report(folder, server);
    const auto result = child.finish(10s);
    EXPECT_EQ(result.status, 137);
    // From the guard, once, whichever of the launcher's threads ended last.
    EXPECT_EQ(test::read_file(folder.file("record.signals")), "sig15=1 from launcher=0 others=1\n");
}

// A server that leaves a daemon behind (a new session, standard output kept
// open): the launcher ends with the server, not with the daemon.
TEST(Runtime, DetachedDaemonDoesNotKeepTheLauncherRunning) {
    for (const bool terminal : {false, true}) {
        ScratchDirectory folder;
        auto options = launcher_options(folder, {}, "daemon:4000;out:" + hex("bye\n") + ";exit:5");
        options.terminal = terminal;
        if (terminal) {
            options.input.reset();
        }
        const auto start = std::chrono::steady_clock::now();
        const auto result = test::run(options, 20s);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(result.status, 5) << "terminal " << terminal;
        EXPECT_LT(took, 1500ms) << "terminal " << terminal;
        const std::string line_end = terminal ? "\r\n" : "\n";
        EXPECT_TRUE(result.out.ends_with("bye" + line_end)) << result.out;
    }
}

// A "java" that is a script running the runtime without exec: a stop reaches
// the runtime behind it, and the launcher relays until the runtime has ended.
TEST(Runtime, StopReachesARuntimeBehindAWrapperScript) {
    ScratchDirectory folder;
    std::filesystem::create_directory(folder.file("bin"));
    folder.write("bin/java", std::string("#!/bin/sh\n\"") + FAKE_JAVA_DIR +
                                 "/java\" \"$@\"\necho wrapper ended\n");
    std::filesystem::permissions(folder.file("bin/java"), std::filesystem::perms::owner_all);
    auto options = launcher_options(folder, {}, "signals:300;out:" + hex("saved\n"));
    options.environment["PATH"] = folder.file("bin") + ":/usr/bin:/bin";
    options.input.reset();
    test::Child child(options);
    ASSERT_TRUE(child.wait_for_output("ready\n")) << child.out();
    const long runtime = server_pid(folder);
    child.signal(SIGTERM);
    await_report(folder, runtime);
    const auto result = child.finish(10s);
    EXPECT_FALSE(result.timed_out);
    const auto report = test::read_file(folder.file("record.signals"));
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->rfind("sig15=1 from launcher=", 0), 0u) << *report;
    EXPECT_TRUE(result.out.ends_with(*report + "saved\n")) << result.out;
    EXPECT_EQ(result.status, 143) << result.err;  // the wrapper's own end
}

// Standard input from /dev/null, the terminal on standard output and error:
// the server is part of the launcher's job in the terminal's foreground.
TEST(Runtime, ServerWritesToTheTerminalUnderTostop) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "err:" + hex("warning\n") + ";exit:3");
    options.input.reset();
    options.terminal = true;
    options.argv.insert(options.argv.begin(),
                        {"/bin/sh", "-c", "stty tostop; exec \"$0\" \"$@\" </dev/null"});
    test::Child child(options);
    const long server = server_pid(folder);
    wait_until([&] { return gone(server) || state_of(server).state == 'Z'; }, 5s);
    EXPECT_NE(state_of(server).state, 'T') << "the server was stopped by its write";
    end_if_running(server);
    const auto result = child.finish(10s);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 3);
    EXPECT_NE(result.out.find("warning\r\n"), std::string::npos) << result.out;
}

TEST(Runtime, CtrlZStopsTheServerWithTheLauncher) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "out:" + hex("up\n") + ";sleep:20000");
    options.input.reset();
    options.terminal = true;
    // A shell with job control leads the session, as at a prompt.
    options.argv.insert(options.argv.begin(),
                        {"/bin/bash", "-c", "set -m; \"$0\" \"$@\" </dev/null; sleep 30"});
    test::Child child(options);
    ASSERT_TRUE(child.wait_for_output("up\r\n")) << child.out();
    const long server = server_pid(folder);
    const long launcher = state_of(server).parent;
    ASSERT_GT(launcher, 0);
    child.send_input("\x1a");  // the terminal's suspend character
    const bool both_stopped = wait_until(
        [&] { return state_of(launcher).state == 'T' && state_of(server).state == 'T'; }, 5s);
    EXPECT_TRUE(both_stopped) << "launcher " << state_of(launcher).state << ", server "
                              << state_of(server).state;
    // "bg": both go on together.
    ASSERT_EQ(kill(-static_cast<pid_t>(launcher), SIGCONT), 0);
    EXPECT_TRUE(wait_until([&] { return state_of(server).state == 'S'; }, 5s));
    kill(static_cast<pid_t>(launcher), SIGKILL);
    end_if_running(server);
    kill(child.pid(), SIGKILL);
    child.finish(10s);
}

// What server.properties is not a regular file is not read: no wait on a
// FIFO, no endless read of a device.
TEST(Runtime, SettingsThatAreNotARegularFileAreNotRead) {
    for (const std::string kind : {"fifo", "/dev/zero"}) {
        ScratchDirectory folder;
        const std::string settings = folder.file("server.properties");
        if (kind == "fifo") {
            ASSERT_EQ(mkfifo(settings.c_str(), 0600), 0);
        } else {
            std::filesystem::create_symlink(kind, settings);
        }
        auto options = launcher_options(folder, {});
#if !LAUNCHER_TEST_SANITIZED
        // A launcher that did read /dev/zero would take all memory.
        options.argv.insert(options.argv.begin(),
                            {"/bin/sh", "-c", "ulimit -v 1000000; exec \"$0\" \"$@\""});
#endif
        test::Child child(options);
        const bool started = wait_until(
            [&] { return std::filesystem::exists(folder.file("record")); }, 5s);
        EXPECT_TRUE(started) << kind;
        if (!started) {
            child.signal(SIGKILL);
        }
        const auto result = child.finish(10s);
        EXPECT_EQ(result.status, 0) << kind;
        EXPECT_EQ(result.out, startup_line + default_command) << kind;
        EXPECT_EQ(result.err,
                  "launcher: server.properties is not a regular file and is not read; "
                  "server_memory is 2048\n")
            << kind;
    }
}

// Before the server starts, a stop signal ends the launcher at once: here it
// waits for a full standard output to take its first line.
TEST(Runtime, StopSignalBeforeTheServerStartsEndsTheLauncher) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "signals:100");
    options.argv.insert(
        options.argv.begin(),
        {"/bin/sh", "-c", "dd if=/dev/zero bs=65536 count=1 2>/dev/null; exec \"$0\" \"$@\""});
    test::Child child(options);
    std::this_thread::sleep_for(500ms);
    child.signal(SIGTERM);
    // Ended at once, while its output is still full.
    EXPECT_TRUE(wait_until([&] { return state_of(child.pid()).state == 'Z'; }, 3s))
        << "launcher " << state_of(child.pid()).state;
    const auto result = child.finish(10s);
    EXPECT_EQ(result.status, 143);
    EXPECT_FALSE(std::filesystem::exists(folder.file("record")));
    end_if_running(received(folder).pid);
}

// The start-up lines reach a non-blocking pipe that is full when they are
// written.
TEST(Runtime, StartUpLinesWaitForAFullNonBlockingPipe) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "out:" + hex("server\n"));
    options.nonblocking_output = true;
    options.argv.insert(
        options.argv.begin(),
        {"/bin/sh", "-c", "dd if=/dev/zero bs=1048576 count=1 2>/dev/null; exec \"$0\" \"$@\""});
    test::Child child(options);
    std::this_thread::sleep_for(500ms);
    const auto result = child.finish(10s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const std::string expected = startup_line + default_command + "server\n";
    ASSERT_TRUE(result.out.ends_with(expected)) << result.out.size() << " bytes";
    const std::string filler = result.out.substr(0, result.out.size() - expected.size());
    EXPECT_GE(filler.size(), 4096u);
    EXPECT_EQ(filler.find_first_not_of('\0'), std::string::npos);
}

// Each step of the server's start is checked: one that fails is named, and
// the launcher ends before there is a server.
TEST(Runtime, FailedStepOfTheServersStartIsNamed) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {});
    options.argv.insert(options.argv.begin(),
                        {DENY_SYSCALL, std::to_string(SYS_dup2), std::to_string(EPERM)});
    const auto result = test::run(options, 10s);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "launcher: cannot connect the server's output to the launcher: Operation not "
              "permitted\n");
    EXPECT_FALSE(std::filesystem::exists(folder.file("record")));
}

// Per-user limits apply to users without privileges only: these tests run
// the launcher as a user of their own.
class AsUser : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0 ||
            access("/usr/bin/prlimit", X_OK) != 0) {
            GTEST_SKIP() << "needs root, setpriv and prlimit";
        }
    }

    // Whether any process of `uid` is left, a zombie too: it counts against
    // the user's process limit until it is collected.
    static bool has_processes(uid_t uid) {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            struct stat status {};
            if (std::isdigit(static_cast<unsigned char>(entry.path().filename().string()[0])) &&
                stat(entry.path().c_str(), &status) == 0 && status.st_uid == uid) {
                return true;
            }
        }
        return false;
    }

    static std::vector<std::string> as_user(uid_t uid) {
        const std::string id = std::to_string(uid);
        return {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
    }
};

// No guard, no runner thread, no server process: the launcher says why and
// ends before starting the server, which would otherwise run unguarded.
TEST_F(AsUser, OwnFailuresEndTheLauncherBeforeTheServerStarts) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's own thread counts against the process limit";
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    GTEST_SKIP() << "ThreadSanitizer's own thread counts against the process limit";
#endif
#endif
    constexpr uid_t uid = 64001;
    for (const int tasks : {1, 2, 3}) {
        // Nothing of the run before is left to count against this limit.
        ASSERT_TRUE(wait_until([] { return !has_processes(uid); }, 10s)) << "user " << uid;
        ScratchDirectory folder;
        std::filesystem::permissions(folder.path(), std::filesystem::perms::all);
        auto options = launcher_options(folder, {}, "exit:0");
        auto prefix = as_user(uid);
        prefix.insert(prefix.begin(), {"/usr/bin/prlimit", "--nproc=" + std::to_string(tasks) +
                                                               ":" + std::to_string(tasks)});
        options.argv.insert(options.argv.begin(), prefix.begin(), prefix.end());
        const auto result = test::run(options, 10s);
        EXPECT_EQ(result.status, 1) << tasks << " tasks";
        EXPECT_EQ(result.err.rfind("launcher: cannot start the ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find("Resource temporarily unavailable\n"), std::string::npos)
            << result.err;
        EXPECT_FALSE(std::filesystem::exists(folder.file("record"))) << tasks << " tasks";
    }
}

}  // namespace

namespace {

// A "java" that runs the runtime without exec, after starting a child of
// the server's own (a second stand-in, recording in "record.child").
void write_wrapper(const ScratchDirectory& folder, test::Options& options) {
    std::filesystem::create_directory(folder.file("bin"));
    const std::string java = std::string("\"") + FAKE_JAVA_DIR + "/java\"";
    folder.write("bin/java", "#!/bin/sh\nFAKE_JAVA_RECORD=\"$FAKE_JAVA_RECORD.child\" " + java +
                                 " &\n" + java + " \"$@\"\nwait\n");
    std::filesystem::permissions(folder.file("bin/java"), std::filesystem::perms::owner_all);
    options.environment["PATH"] = folder.file("bin") + ":/usr/bin:/bin";
    options.input.reset();
}

// On a terminal, as at a prompt: a shell with job control leads the session
// and gives the launcher the terminal's foreground.
void at_a_prompt(test::Options& options) {
    options.terminal = true;
    options.argv.insert(options.argv.begin(),
                        {"/bin/bash", "-c", "set -m; \"$0\" \"$@\"; sleep 30"});
}

// The signals each of the job's two stand-ins counted, whoever sent them
// (the runtime passes to the launcher when its wrapper ends first); empty
// when one got nothing.
std::string tallies(const ScratchDirectory& folder) {
    std::string counts;
    for (const std::string name : {"record.signals", "record.child.signals"}) {
        wait_until([&] { return std::filesystem::exists(folder.file(name)); }, 5s);
        const std::string tally = test::read_file(folder.file(name)).value_or("");
        counts += tally.substr(0, tally.find(" from")) + "|";
    }
    return counts;
}

}  // namespace

// The launcher killed: every process of the server's job gets SIGTERM once,
// the runtime behind a wrapper and the server's child too, in either mode.
TEST(Runtime, KilledLauncherStopsTheWholeJobOnce) {
    for (const bool terminal : {false, true}) {
        ScratchDirectory folder;
        auto options = launcher_options(folder, {}, "signals:300");
        write_wrapper(folder, options);
        if (terminal) {
            at_a_prompt(options);
        }
        test::Child child(options);
        const std::string ready = terminal ? "ready\r\nready\r\n" : "ready\nready\n";
        ASSERT_TRUE(child.wait_for_output(ready)) << child.out();
        const long runtime = server_pid(folder);
        const long launcher = state_of(state_of(runtime).parent).parent;
        ASSERT_EQ(kill(static_cast<pid_t>(launcher), SIGKILL), 0);
        EXPECT_EQ(tallies(folder), "sig15=1|sig15=1|") << "terminal " << terminal;
        end_if_running(runtime);
        kill(child.pid(), SIGKILL);
        child.finish(10s);
    }
}

// With the server in the launcher's group (a terminal), a stop sent to the
// launcher reaches every process of the job once, not the wrapper alone.
TEST(Runtime, OnATerminalAStopReachesTheWholeJob) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "signals:300");
    write_wrapper(folder, options);
    at_a_prompt(options);
    test::Child child(options);
    ASSERT_TRUE(child.wait_for_output("ready\r\nready\r\n")) << child.out();
    const long runtime = server_pid(folder);
    const long launcher = state_of(state_of(runtime).parent).parent;
    ASSERT_EQ(kill(static_cast<pid_t>(launcher), SIGTERM), 0);
    EXPECT_EQ(tallies(folder), "sig15=1|sig15=1|");
    EXPECT_TRUE(wait_until([&] { return gone(launcher); }, 5s));
    end_if_running(launcher);
    kill(child.pid(), SIGKILL);
    child.finish(10s);
}

namespace {

// An interactive bash in a tmux session of its own, in `folder`, with the
// stand-in runtime first on PATH: a terminal as an operator has one.
class TmuxSession {
public:
    explicit TmuxSession(const ScratchDirectory& folder)
        : socket_("launcher-test-" + std::to_string(getpid()) + "-" + std::to_string(next_++)) {
        tmux({"new-session", "-d", "-s", "job", "-x", "200", "-y", "50", "-c", folder.path(),
              "env -i PATH=" + std::string(FAKE_JAVA_DIR) +
                  ":/usr/bin:/bin TERM=xterm PS1='$ ' bash --norc --noprofile -i"});
    }
    TmuxSession(const TmuxSession&) = delete;
    TmuxSession& operator=(const TmuxSession&) = delete;
    ~TmuxSession() { kill_session(); }

    static bool available() { return access("/usr/bin/tmux", X_OK) == 0; }

    // Types `keys` as tmux names them ("Enter", "C-z"), or literal text.
    void type(const std::string& keys, bool literal = false) {
        std::vector<std::string> arguments{"send-keys", "-t", "job"};
        if (literal) {
            arguments.emplace_back("-l");
        }
        arguments.push_back(keys);
        tmux(arguments);
    }
    void line(const std::string& text) {
        type(text, true);
        type("Enter");
    }
    std::string screen() { return tmux({"capture-pane", "-p", "-t", "job"}).out; }
    bool shows(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        return wait_until([&] { return screen().find(text) != std::string::npos; }, timeout);
    }
    void kill_session() {
        if (!killed_) {
            tmux({"kill-session", "-t", "job"});
            killed_ = true;
        }
    }

private:
    test::Result tmux(const std::vector<std::string>& arguments) const {
        test::Options options;
        options.argv = {"/usr/bin/tmux", "-L", socket_, "-f", "/dev/null"};
        options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
        options.unset.push_back("TMUX");
        options.input = "";
        return test::run(options, 10s);
    }

    static inline int next_ = 0;
    std::string socket_;
    bool killed_ = false;
};

// Whether `pid`'s process group is the foreground group of its terminal
// (fields 5 and 8 of /proc/<pid>/stat).
bool holds_terminal(long pid) {
    const std::string stat = test::read_file("/proc/" + std::to_string(pid) + "/stat").value_or("");
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string state;
    long parent = 0, group = 0, session = 0, terminal = 0, foreground = 0;
    fields >> state >> parent >> group >> session >> terminal >> foreground;
    return group > 0 && group == foreground;
}

// Waits until the file at `path` holds `text`.
bool file_shows(const std::string& path, const std::string& text,
                std::chrono::milliseconds timeout = 10s) {
    return wait_until(
        [&] { return test::read_file(path).value_or("").find(text) != std::string::npos; },
        timeout);
}

// The stand-in's settings as a command line's prefix.
std::string stand_in(const ScratchDirectory& folder, const std::string& actions) {
    return "FAKE_JAVA='" + actions + "' FAKE_JAVA_RECORD=" + folder.file("record") + " ";
}

}  // namespace

// tmux kill-session with the launcher started from an interactive bash:
// bash and the kernel signal the job's group (two hang-ups for a server that
// bash starts itself, as signals of one kind may merge into one). The server
// shares the launcher's group in a terminal session, whatever its streams
// are, and the launcher passes none of the hang-ups on again.
TEST(Runtime, HangUpOfATmuxSessionIsNotCopied) {
    if (!TmuxSession::available()) {
        GTEST_SKIP() << "needs tmux";
    }
    // "ready" goes to a file in both cases, so that the test knows when.
    for (const std::string redirect : {" | tee ready", " </dev/null >ready 2>&1"}) {
        ScratchDirectory folder;
        TmuxSession session(folder);
        session.line(stand_in(folder, "signals:500") + LAUNCHER_BINARY + redirect);
        file_shows(folder.file("ready"), "ready");
        session.kill_session();
        wait_until([&] { return std::filesystem::exists(folder.file("record.signals")); }, 5s);
        const long server = received(folder).pid;
        wait_until([&] { return gone(server); }, 5s);
        end_if_running(server);
        const std::string tally = test::read_file(folder.file("record.signals")).value_or("none");
        EXPECT_NE(tally.find("sig1="), std::string::npos) << redirect << ": " << tally;
        EXPECT_NE(tally.find(" from launcher=0 "), std::string::npos) << redirect << ": " << tally;
    }
}

// Started in the background (`&`), the job stops when the server reads the
// terminal; `fg` continues it all, and the terminal's lines reach the
// server, also through the launcher's console.
TEST(Runtime, BackgroundJobServesItsConsoleAfterFg) {
    if (!TmuxSession::available()) {
        GTEST_SKIP() << "needs tmux";
    }
    for (const std::string options : {"", " --console console"}) {
        ScratchDirectory folder;
        TmuxSession session(folder);
        session.line(stand_in(folder, "echo-stdin") + LAUNCHER_BINARY + options + " >log 2>&1 &");
        const long server = server_pid(folder);
        ASSERT_GT(server, 0) << session.screen();
        if (options.empty()) {
            // The server reads the terminal: stopped, with the launcher.
            // (With a console, the launcher only polls it, and the job runs on
            // in the background until something is read.)
            EXPECT_TRUE(wait_until([&] { return state_of(server).state == 'T'; }, 5s))
                << "server " << state_of(server).state;
        }
        session.line("fg");
        // Typed once the job holds the terminal: before that, the shell
        // reads it (and a job in the background that reads it stops).
        EXPECT_TRUE(wait_until([&] { return holds_terminal(server); }, 5s)) << options;
        session.line("hello server");
        const bool echoed = file_shows(folder.file("log"), "hello server\n");
        EXPECT_TRUE(echoed) << options << ": " << test::read_file(folder.file("log")).value_or("")
                            << session.screen();
        session.type("C-c");
        EXPECT_TRUE(wait_until([&] { return gone(server); }, 5s)) << options;
        end_if_running(server);
    }
}

// Ctrl-Z with every stream redirected: the launcher stops with its server
// and the shell's prompt comes back; `fg` continues both.
TEST(Runtime, CtrlZWithEveryStreamRedirectedGivesThePromptBack) {
    if (!TmuxSession::available()) {
        GTEST_SKIP() << "needs tmux";
    }
    ScratchDirectory folder;
    TmuxSession session(folder);
    session.line(stand_in(folder, "sleep:20000") + LAUNCHER_BINARY + " </dev/null >out 2>err");
    const long server = server_pid(folder);
    ASSERT_GT(server, 0) << session.screen();
    const long launcher = state_of(server).parent;
    session.type("C-z");
    EXPECT_TRUE(session.shows("Stopped")) << session.screen();
    EXPECT_EQ(state_of(launcher).state, 'T');
    EXPECT_EQ(state_of(server).state, 'T');
    session.line("fg");
    // Both go on: sleeping or running, no longer stopped.
    EXPECT_TRUE(wait_until(
        [&] { return state_of(server).state != 'T' && state_of(launcher).state != 'T'; }, 5s))
        << "launcher " << state_of(launcher).state << ", server " << state_of(server).state;
    session.type("C-c");
    EXPECT_TRUE(wait_until([&] { return gone(launcher) && gone(server); }, 5s));
    end_if_running(server);
    end_if_running(launcher);
}

// The launcher's words for a command the shell cannot take, and for a java
// that is there but cannot run (its interpreter is missing): not "not found".
TEST(Runtime, CommandTooLongAndBrokenJavaAreNamedAsTheyAre) {
    ScratchDirectory folder;
    const std::vector<std::string> many(50000, "+a");
    auto options = launcher_options(folder, many);
    auto result = test::run(options, 10s);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "launcher: the server command is 150037 bytes long for the shell, which "
              "takes at most 131072 in one argument; the server is not started\n")
        << result.err.substr(0, 300);
    EXPECT_TRUE(result.out.empty() || result.out.starts_with(startup_line));
    EXPECT_FALSE(std::filesystem::exists(folder.file("record")));

    std::filesystem::create_directory(folder.file("bin"));
    folder.write("bin/java", "#!/nonexistent/interpreter\n");
    std::filesystem::permissions(folder.file("bin/java"), std::filesystem::perms::owner_all);
    options = launcher_options(folder, {});
    options.environment["PATH"] = folder.file("bin");  // no other java
    result = test::run(options, 10s);
    EXPECT_EQ(result.status, 127);
    EXPECT_EQ(result.err.find("not found on PATH"), std::string::npos) << result.err;
}

// A settings file that is there but cannot be read is named; the default
// applies and standard output is as without it.
TEST_F(AsUser, UnreadableSettingsAreReported) {
    ScratchDirectory folder;
    std::filesystem::permissions(folder.path(), std::filesystem::perms::all);
    folder.write("server.properties", "server_memory=512\n");
    std::filesystem::permissions(folder.file("server.properties"), std::filesystem::perms::none);
    auto options = launcher_options(folder, {}, "exit:0");
    const auto prefix = as_user(64001);
    options.argv.insert(options.argv.begin(), prefix.begin(), prefix.end());
    const auto result = test::run(options, 10s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(
        result.err,
        "launcher: cannot read server.properties; server_memory is 2048: Permission denied\n");
    EXPECT_EQ(result.out, startup_line + default_command);
}

// Off a terminal, a SIGKILL to the launcher's whole process group (a panel,
// `timeout -s KILL`): the guard is out of its reach and stops the server.
TEST(Runtime, KillOfTheLaunchersGroupLeavesTheGuardToStopTheServer) {
    ScratchDirectory folder;
    test::Child child(launcher_options(folder, {}, "signals:300"));
    ASSERT_TRUE(child.wait_for_output("ready\n")) << child.out();
    const long server = server_pid(folder);
    ASSERT_EQ(kill(-child.pid(), SIGKILL), 0);
    await_report(folder, server);
    const std::string tally = test::read_file(folder.file("record.signals")).value_or("none");
    EXPECT_EQ(tally.rfind("sig15=1 ", 0), 0u) << tally;
    child.finish(10s);
}

// On a terminal, the launcher killed: a process of the same shell job that
// the launcher did not start (an orphan, older than the launcher) is left
// alone; the server is stopped.
TEST(Runtime, KilledLauncherLeavesAnOrphanOfTheSameJobAlone) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "signals:300");
    options.input.reset();
    options.terminal = true;
    options.argv.insert(options.argv.begin(),
                        {"/bin/bash", "-c",
                         "set -m; sh -c '(FAKE_JAVA_RECORD=\"$FAKE_JAVA_RECORD.orphan\" java &); "
                         "exec \"$0\" \"$@\"' \"$0\" \"$@\"; sleep 30"});
    test::Child child(options);
    // Both stand-ins say "ready", in either order around the launcher's lines.
    const auto both_ready = [&] {
        const std::size_t first = child.out().find("ready");
        return first != std::string::npos &&
               child.out().find("ready", first + 1) != std::string::npos;
    };
    for (int i = 0; i < 100 && !both_ready(); ++i) {
        (void)child.wait_for_output("\x01", 100ms);  // reads what comes meanwhile
    }
    ASSERT_TRUE(both_ready()) << child.out();
    const long server = server_pid(folder);
    long orphan = 0;
    wait_until(
        [&] {
            const auto record = test::read_file(folder.file("record.orphan"));
            return record && (orphan = std::stol(record->substr(4))) > 0;
        },
        5s);
    ASSERT_GT(orphan, 0);
    const long launcher = state_of(server).parent;
    ASSERT_EQ(kill(static_cast<pid_t>(launcher), SIGKILL), 0);
    await_report(folder, server);
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(std::filesystem::exists(folder.file("record.orphan.signals")))
        << test::read_file(folder.file("record.orphan.signals")).value_or("");
    EXPECT_EQ(test::read_file(folder.file("record.signals")).value_or("").rfind("sig15=1 ", 0), 0u);
    end_if_running(orphan);
    kill(child.pid(), SIGKILL);
    child.finish(10s);
}

// A small stack limit (32 KiB), on a terminal and off it: the launcher's
// walks of the job do not live on a thread's stack.
TEST(Runtime, SmallStackLimitIsEnough) {
    for (const bool terminal : {false, true}) {
        ScratchDirectory folder;
        auto options = launcher_options(folder, {}, "exit:0");
        if (terminal) {
            options.input.reset();
            options.terminal = true;
        }
        options.argv.insert(options.argv.begin(), {"/usr/bin/prlimit", "--stack=32768"});
        const auto result = test::run(options, 10s);
        EXPECT_EQ(result.status, 0) << (terminal ? "terminal" : "no terminal") << result.err;
    }
}

// A system call filter that refuses splice: the output goes by read and
// write, intact and without a word.
TEST(Runtime, RefusedSpliceIsNoFailure) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "lines:2000");
    options.argv.insert(options.argv.begin(),
                        {DENY_SYSCALL, std::to_string(SYS_splice), std::to_string(EPERM)});
    const auto result = test::run(options, 20s);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.size(), startup_line.size() + default_command.size() + 2000 * 80);
}

// A launcher that cannot collect its children says so once and ends with 1
// rather than wait for good; its guard stops what is left of the job.
TEST(Runtime, RefusedWaitEndsTheLauncher) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "exit:0");
    options.argv.insert(options.argv.begin(),
                        {DENY_SYSCALL, std::to_string(SYS_waitid), std::to_string(EPERM)});
    const auto result = test::run(options, 10s);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "launcher: cannot collect the server's exit status: Operation not permitted\n");
}

// The guard can be told apart in ps, and is collected as the launcher ends
// rather than left a zombie.
TEST(Runtime, GuardIsNamedAndCollected) {
    ScratchDirectory folder;
    test::Child child(launcher_options(folder, {}, "signals:100"));
    ASSERT_TRUE(child.wait_for_output("ready\n")) << child.out();
    const long launcher = state_of(server_pid(folder)).parent;
    long guard = 0;
    // It takes its name once it runs, which may come after the server's start.
    wait_until(
        [&] {
            for (const auto& task : std::filesystem::directory_iterator(
                     "/proc/" + std::to_string(launcher) + "/task")) {
                std::ifstream children(task.path() / "children");
                for (long pid = 0; children >> pid;) {
                    if (test::read_file("/proc/" + std::to_string(pid) + "/comm") ==
                        "launcher-guard\n") {
                        guard = pid;
                    }
                }
            }
            return guard > 0;
        },
        5s);
    ASSERT_GT(guard, 0);
    child.signal(SIGTERM);
    const auto result = child.finish(10s);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(gone(guard)) << "guard " << state_of(guard).state;
}

// Standard output on a full device and a server that writes nothing: the
// start-up lines are lost, and the launcher says so.
TEST(Runtime, LostStartUpLinesAreReported) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "exit:0");
    options.argv.insert(options.argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full"});
    const auto result = test::run(options, 10s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err,
              "launcher: cannot write the start-up lines to standard output: No space left on "
              "device\n");
}
