// The launcher as a whole, run as a process on the stand-in runtime.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "launcher_support.h"
#include "random_words.h"

namespace {

using test::hex;
using test::launcher_options;
using test::received;
using test::ScratchDirectory;
using test::startup_line;
using Strings = std::vector<std::string>;

TEST(Launcher, TypicalRunShowsTheCommandAndRelaysTheServer) {
    ScratchDirectory folder;
    folder.write("server.properties", "# settings\nserver_memory=512\n");
    auto options = launcher_options(folder, {"+port", "700"}, "out:" + hex("hello\nworld\n"));
    options.environment["SteamAppId"] = "1";  // replaced, not kept
    const auto result = test::run(options);

    EXPECT_EQ(result.out,
              startup_line + "java -Xmx512m -jar server.jar +port=700 \nhello\nworld\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    const auto child = received(folder);
    EXPECT_EQ(child.arguments, (Strings{"-Xmx512m", "-jar", "server.jar", "+port=700"}));
    EXPECT_EQ(child.app_id, "517093");
    EXPECT_EQ(std::filesystem::canonical(child.cwd), std::filesystem::canonical(folder.path()));
}

// The worked examples, and a value that needs quoting with a heap that does
// not: the command line to the byte, and the words the server gets.
TEST(Launcher, WorkedExamplesReachTheServer) {
    struct Example {
        Strings arguments;
        std::string settings;
        std::string line;
        Strings server_arguments;
    };
    const Example examples[] = {
        {{}, "", "java -Xmx2048m -jar server.jar ", {}},
        {{"+port", "700", "+name=Alpha", "-verbose"},
         "",
         "java -Xmx2048m -jar server.jar +port=700 +name=Alpha ",
         {"+port=700", "+name=Alpha"}},
        {{"+a", "+b"}, "server_memory=512\n", "java -Xmx512m -jar server.jar +a +b ", {"+a", "+b"}},
        {{"+slots"}, "server_memory = 768", "java -Xmx768m -jar server.jar +slots ", {"+slots"}},
        {{"+name", "two words"},
         "server_memory=oops",
         "java -Xmx0m -jar server.jar '+name=two words' ",
         {"+name=two words"}},
    };
    for (const Example& example : examples) {
        ScratchDirectory folder;
        if (!example.settings.empty()) {
            folder.write("server.properties", example.settings);
        }
        const auto result = test::run(launcher_options(folder, example.arguments));
        EXPECT_EQ(result.out, startup_line + example.line + "\n");
        const auto child = received(folder);
        ASSERT_GE(child.arguments.size(), 3u);
        EXPECT_EQ(Strings(child.arguments.begin() + 3, child.arguments.end()),
                  example.server_arguments);
    }
}

TEST(Launcher, ExitStatusIsTheServers) {
    struct Case {
        std::string actions;
        int status;
        std::string err;  // a server that does not end normally is explained
    };
    const std::string killed =
        "launcher: the server was ended by signal 9 (SIGKILL); the system may have run out of "
        "memory: a smaller server_memory in server.properties leaves it more\n";
    for (const Case& c :
         {Case{"exit:3", 3, ""}, Case{"exit:0", 0, ""}, Case{"raise:9", 137, killed},
          Case{"raise:15", 143, "launcher: the server was ended by signal 15 (SIGTERM)\n"},
          Case{"raise:10", 138, "launcher: the server was ended by signal 10 (SIGUSR1)\n"},
          Case{"out:" + hex("bye\n") + ";exit:255", 255, ""}}) {
        ScratchDirectory folder;
        const auto result = test::run(launcher_options(folder, {}, c.actions));
        EXPECT_EQ(result.status, c.status) << c.actions;
        EXPECT_EQ(result.err, c.err) << c.actions;
        EXPECT_EQ(result.out, startup_line + "java -Xmx2048m -jar server.jar \n" +
                                  (c.status == 255 ? "bye\n" : ""))
            << c.actions;
    }
}

TEST(Launcher, MissingRuntimeGivesTheShellsNotFoundStatus) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {"+port", "1"});
    options.environment["PATH"] = folder.path();  // no java anywhere
    const auto result = test::run(options);
    EXPECT_EQ(result.status, 127);
    EXPECT_EQ(result.out, startup_line + "java -Xmx2048m -jar server.jar +port=1 \n");
    EXPECT_NE(result.err.find("java"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("not found"), std::string::npos) << result.err;
    const std::string explained =
        "launcher: the server did not start: java was not found on PATH (status 127): install a "
        "Java runtime and put the folder that holds java on PATH, or start the launcher where "
        "\"java -version\" works\n";
    EXPECT_TRUE(result.err.ends_with(explained)) << result.err;
}

TEST(Launcher, RuntimeThatCannotBeExecutedIsExplained) {
    ScratchDirectory folder;
    folder.write("java", "not a program");  // no execute permission
    auto options = launcher_options(folder, {});
    options.environment["PATH"] = folder.path();
    const auto result = test::run(options);
    EXPECT_EQ(result.status, 126);
    EXPECT_EQ(result.out, startup_line + "java -Xmx2048m -jar server.jar \n");
    const std::string explained =
        "launcher: the server did not start: java was found but cannot be executed (status 126)\n";
    EXPECT_TRUE(result.err.ends_with(explained)) << result.err;
}

TEST(Launcher, RelaysEveryByteInOrder) {
    const std::string long_line = std::string(300, 'x') + "\n";
    std::string binary;
    for (int i = 0; i < 1024; ++i) {
        binary += static_cast<char>(i % 256);  // NUL bytes included
    }
    binary += "last line without a line feed";
    for (const std::string& bytes : {long_line, binary, std::string("\0\0\0\n", 4)}) {
        ScratchDirectory folder;
        const auto result = test::run(launcher_options(folder, {}, "out:" + hex(bytes)));
        EXPECT_EQ(result.out, startup_line + "java -Xmx2048m -jar server.jar \n" + bytes);
    }
}

// What the stand-in writes for "lines:<count>".
std::string numbered_lines(long count) {
    std::string lines;
    lines.reserve(static_cast<std::size_t>(count) * 80);
    for (long i = 0; i < count; ++i) {
        char line[128];
        std::snprintf(line, sizeof line, "%010ld %068d\n", i, 0);
        lines.append(line, 80);
    }
    return lines;
}

TEST(Launcher, RelaysTensOfMegabytesIntact) {
    constexpr long lines = 400000;  // 32 MB
    const std::string expected = numbered_lines(lines);
    ScratchDirectory folder;
    const auto result = test::run(launcher_options(folder, {}, "lines:" + std::to_string(lines)));
    const std::string header = startup_line + "java -Xmx2048m -jar server.jar \n";
    ASSERT_EQ(result.out.size(), header.size() + expected.size());
    EXPECT_EQ(std::hash<std::string>{}(result.out.substr(header.size())),
              std::hash<std::string>{}(expected));
    EXPECT_EQ(result.status, 0);
}

// Standard output may also be a file, truncated or appended to, or a pipe
// that another program made non-blocking and that fills up: the same bytes
// arrive, and nothing is reported.
TEST(Launcher, RelaysIntactToFilesAndToANonBlockingPipe) {
    const std::string expected = startup_line + "java -Xmx2048m -jar server.jar \n" +
                                 numbered_lines(20000);  // 1.6 MB
    for (const std::string redirection : {">", ">>"}) {
        ScratchDirectory folder;
        folder.write("out", "kept\n");
        auto options = launcher_options(folder, {}, "lines:20000");
        options.argv.insert(options.argv.begin(),
                            {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + redirection + " out"});
        const auto result = test::run(options);
        EXPECT_EQ(result.status, 0) << redirection;
        EXPECT_EQ(result.err, "") << redirection;
        const auto written = test::read_file(folder.file("out"));
        ASSERT_TRUE(written.has_value());
        EXPECT_TRUE(*written == (redirection == ">>" ? "kept\n" : "") + expected)
            << redirection << ": " << written->size() << " bytes";
    }

    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "lines:20000");
    options.nonblocking_output = true;
    test::Child child(options);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the pipe fill up
    const auto result = child.finish();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(result.out == expected) << result.out.size() << " bytes";
}

TEST(Launcher, StandardInputReachesTheServerAndStandardErrorPassesBy) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {},
                                    "err:" + hex("warning: low memory\n") + ";echo-stdin");
    options.input = "say hi\nstop\n";
    const auto result = test::run(options);
    EXPECT_EQ(result.out, startup_line + "java -Xmx2048m -jar server.jar \nsay hi\nstop\n");
    EXPECT_EQ(result.err, "warning: low memory\n");
    EXPECT_EQ(result.status, 0);
}

TEST(Launcher, OutputReachesAPipeWhileTheServerStillRuns) {
    ScratchDirectory folder;
    test::Child child(launcher_options(folder, {}, "out:" + hex("first\n") + ";sleep:5000"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(child.wait_for_output("first\n", std::chrono::seconds(4)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(Launcher, ClosedStandardOutputNeitherBlocksNorKillsTheServer) {
    ScratchDirectory folder;
    test::Child child(launcher_options(folder, {}, "sleep:300;lines:20000;exit:5"));
    child.close_output();
    const auto result = child.finish();
    EXPECT_EQ(result.status, 5);  // the server wrote to the end and its status came through
    EXPECT_NE(result.err.find("cannot write to standard output"), std::string::npos) << result.err;
}

TEST(Launcher, InheritedIgnoredChildSignalDoesNotLoseTheStatus) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {}, "exit:9");
    // bash hands an ignored SIGCHLD down to what it runs.
    options.argv.insert(options.argv.begin(),
                        {"/bin/bash", "-c", "trap '' CHLD; exec \"$0\" \"$@\""});
    const auto result = test::run(options);
    EXPECT_EQ(result.status, 9) << result.err;
}

TEST(Launcher, OwnFailureIsReportedWithTheSystemsReason) {
    ScratchDirectory folder;
    auto options = launcher_options(folder, {});
    // One free descriptor: enough to start, too few for the first pipe.
    options.argv.insert(options.argv.begin(),
                        {"/bin/sh", "-c",
                         "n=0; while [ -e /proc/$$/fd/$n ]; do n=$((n + 1)); done; "
                         "ulimit -n $((n + 1)); exec \"$0\""});
    const auto result = test::run(options);
    EXPECT_EQ(result.err,
              "launcher: cannot start the guard of the server's job: Too many open files\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(std::filesystem::exists(folder.file("record")));
}

TEST(Launcher, ArgumentsArriveUnchangedAndNothingIsRun) {
    test::RandomWords random("aZ09 +=-_.,:/@%'\"\\$`;&|*?[]{}()<>~#!^\t\n\xc3\xa9\xe2\x9c\x93", 19,
                             7);
    Strings arguments = {"+a=$(touch pwned)",
                         "+b=`touch pwned`",
                         "+c=;touch pwned",
                         "+d=x|touch pwned",
                         "+e=x&&touch pwned",
                         "+f=*",
                         "+g='",
                         "+h=\"",
                         "+i=$HOME",
                         "+j=\n",
                         "+k=\\"};
    Strings expected = arguments;
    for (int i = 0; i < 300; ++i) {
        const std::string value = random.next();
        const std::string key = "+k" + std::to_string(i);
        if (i % 2 == 0 && value.find('+') == std::string::npos) {
            arguments.push_back(key);  // "+key value" is joined with "="
            arguments.push_back(value);
        } else {
            arguments.push_back(key + "=" + value);
        }
        expected.push_back(key + "=" + value);
    }
    ScratchDirectory folder;
    const auto result = test::run(launcher_options(folder, arguments));
    EXPECT_EQ(result.status, 0) << result.err;
    const auto child = received(folder);
    ASSERT_GE(child.arguments.size(), 3u);
    EXPECT_EQ(Strings(child.arguments.begin() + 3, child.arguments.end()), expected);
    EXPECT_FALSE(std::filesystem::exists(folder.file("pwned")));
}

TEST(Launcher, HelpAndVersionDoNotStartTheServer) {
    ScratchDirectory folder;
    const auto help = test::run(launcher_options(folder, {"--help"}));
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: launcher", 0), 0u) << help.out;
    const auto short_help = test::run(launcher_options(folder, {"-h"}));
    EXPECT_EQ(short_help.status, 0);
    EXPECT_EQ(short_help.out, help.out);
    const auto version = test::run(launcher_options(folder, {"--version"}));
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(
        version.out.rfind(std::string("launcher ") + EXPECTED_VERSION + "\nCopyright (c) ", 0), 0u)
        << version.out;
    EXPECT_NE(version.out.find("\nMIT License"), std::string::npos) << version.out;
    EXPECT_FALSE(std::filesystem::exists(folder.file("record")));
}

TEST(Launcher, EachIgnoredArgumentIsNamedOnStandardError) {
    ScratchDirectory folder;
    const auto run = test::run(
        launcher_options(folder, {"--help", "-v", "+x", "+name", "two words", "help"}));
    EXPECT_EQ(run.out, startup_line + "java -Xmx2048m -jar server.jar +x '+name=two words' \n");
    EXPECT_EQ(run.err,
              "launcher: ignoring '--help': server arguments contain '+'\n"
              "launcher: ignoring '-v': server arguments contain '+'\n"
              "launcher: ignoring 'help': server arguments contain '+'\n");
    EXPECT_EQ(run.status, 0);
}

}  // namespace
