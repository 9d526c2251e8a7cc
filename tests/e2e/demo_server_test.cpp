// The launcher on a real Java runtime running the demo server.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>

#include "launcher_support.h"

namespace {

using test::ScratchDirectory;

class DemoServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(DEMO_SERVER_JAR).empty() || access("/usr/bin/java", X_OK) != 0) {
            GTEST_SKIP() << "no Java runtime or demo server";
        }
        std::filesystem::copy_file(DEMO_SERVER_JAR, folder.file("server.jar"));
        folder.write("server.properties", "# demo\nport=7777\nserver_memory=256\n");
    }

    // The real runtime, found on the ordinary PATH.
    test::Options options(const std::vector<std::string>& arguments) {
        test::Options result;
        result.argv.push_back(LAUNCHER_BINARY);
        result.argv.insert(result.argv.end(), arguments.begin(), arguments.end());
        result.directory = folder.path();
        result.unset.push_back("SteamAppId");
        return result;
    }

    ScratchDirectory folder;
};

TEST_F(DemoServer, RunsWithTheSettingsHeapAndStopsCleanlyOnItsConsoleCommand) {
    auto run_options = options({"+port", "700", "+name", "Demo World", "-ignored"});
    run_options.input = "say hi there\nstop\n";
    const auto result = test::run(run_options);

    const std::string expected_start =
        "Set environment variable to 517093\n"
        "java -Xmx256m -jar server.jar +port=700 '+name=Demo World' \n"
        "Demo server starting\n"
        "args: 2\n"
        "arg[0]=+port=700\n"
        "arg[1]=+name=Demo World\n";
    EXPECT_EQ(result.out.substr(0, expected_start.size()), expected_start);

    // The heap the runtime really got: -Xmx256m, less what some collectors
    // keep for themselves.
    std::smatch heap;
    ASSERT_TRUE(std::regex_search(result.out, heap, std::regex("max heap MiB: (\\d+)\n")))
        << result.out;
    const int mib = std::stoi(heap[1]);
    EXPECT_GE(mib, 230);
    EXPECT_LE(mib, 256);

    EXPECT_NE(result.out.find("SteamAppId: 517093\n"), std::string::npos);
    EXPECT_NE(result.out.find("[Server] hi there\n"), std::string::npos);
    EXPECT_TRUE(result.out.ends_with("Stopping the server\nSaving world...\nWorld saved\n"))
        << result.out;
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(std::filesystem::exists(folder.file("world.sav")));
}

TEST_F(DemoServer, SigtermRunsTheShutdownHookAndItsLinesAreRelayed) {
    auto run_options = options({});
    test::Child child(run_options);
    ASSERT_TRUE(child.wait_for_output("Ready\n")) << child.out();
    child.signal(SIGTERM);
    const auto result = child.finish();
    EXPECT_TRUE(result.out.ends_with("Ready\nSaving world...\nWorld saved\n")) << result.out;
    EXPECT_EQ(result.status, 143);
    EXPECT_TRUE(std::filesystem::exists(folder.file("world.sav")));
}

}  // namespace
