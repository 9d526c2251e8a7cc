// The relay on its own, over the outputs the launcher meets: a pipe, a file
// opened for appending, a non-blocking pipe that fills up, a pipe whose
// reader is gone; and its stop, which moves what the pipe holds and no more.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "descriptor.h"
#include "relay.h"

namespace {

using launcher::platform::FileDescriptor;
using namespace std::chrono_literals;

struct Pipe {
    FileDescriptor read;
    FileDescriptor write;
};

Pipe make_pipe(int flags = 0) {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC | flags), 0);
    return {FileDescriptor(ends[0]), FileDescriptor(ends[1])};
}

// Bytes that show any loss, repetition or reordering.
std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 251) % 256);
    }
    return bytes;
}

// Writes `bytes` to the pipe's write end on a thread of its own, then
// closes it.
std::thread write_and_close(Pipe& pipe, std::string bytes) {
    return std::thread([&pipe, bytes = std::move(bytes)] {
        EXPECT_FALSE(launcher::platform::write_all(pipe.write.get(), bytes));
        pipe.write.reset();
    });
}

// The relay with a stop that is never requested.
bool relay(int from, int to) {
    const FileDescriptor never(eventfd(0, EFD_CLOEXEC));
    EXPECT_TRUE(never.valid());
    return launcher::platform::relay(from, to, never.get());
}

std::string read_to_end(int fd) {
    std::string bytes;
    char buffer[65536];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) {
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

TEST(Relay, PipeToPipeArrivesIntact) {
    const std::string bytes = pattern(3 * 1024 * 1024 + 17);
    Pipe input = make_pipe();
    Pipe output = make_pipe();
    std::string arrived;
    std::thread reader([&] { arrived = read_to_end(output.read.get()); });
    std::thread writer = write_and_close(input, bytes);
    relay(input.read.get(), output.write.get());
    output.write.reset();
    writer.join();
    reader.join();
    EXPECT_TRUE(arrived == bytes) << arrived.size() << " bytes";
}

TEST(Relay, AppendingFileKeepsWhatItHeld) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("relay-test-" + std::to_string(getpid())))
                                 .string();
    std::ofstream(path) << "kept\n";
    const FileDescriptor file(open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    ASSERT_TRUE(file.valid());
    const std::string bytes = pattern(1024 * 1024);
    Pipe input = make_pipe();
    std::thread writer = write_and_close(input, bytes);
    testing::internal::CaptureStderr();
    relay(input.read.get(), file.get());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    writer.join();
    std::ifstream written(path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(written)), {});
    std::filesystem::remove(path);
    EXPECT_TRUE(content == "kept\n" + bytes) << content.size() << " bytes";
}

TEST(Relay, FullNonBlockingPipeIsWaitedFor) {
    const std::string bytes = pattern(2 * 1024 * 1024);
    Pipe input = make_pipe();
    Pipe output = make_pipe(O_NONBLOCK);
    std::string arrived;
    std::thread reader([&] {
        std::this_thread::sleep_for(200ms);  // the output fills up meanwhile
        const int flags = fcntl(output.read.get(), F_GETFL);
        fcntl(output.read.get(), F_SETFL, flags & ~O_NONBLOCK);
        arrived = read_to_end(output.read.get());
    });
    std::thread writer = write_and_close(input, bytes);
    testing::internal::CaptureStderr();
    relay(input.read.get(), output.write.get());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    output.write.reset();
    writer.join();
    reader.join();
    EXPECT_TRUE(arrived == bytes) << arrived.size() << " bytes";
}

TEST(Relay, ClosedReaderIsReportedOnceAndTheRestIsDropped) {
    signal(SIGPIPE, SIG_IGN);
    Pipe input = make_pipe();
    Pipe output = make_pipe();
    output.read.reset();
    // More than both pipes hold: the writer finishes only if the relay
    // reads on after the failure.
    std::thread writer = write_and_close(input, pattern(4 * 1024 * 1024));
    testing::internal::CaptureStderr();
    relay(input.read.get(), output.write.get());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "launcher: cannot write to standard output; the server's output is dropped "
              "until it can be written again: Broken pipe\n");
    writer.join();
}

TEST(Relay, StopMovesWhatThePipeHoldsAndNoMore) {
    // Stopped while it waits for a silent writer (to a pipe and to a file),
    // and while the output is full and the pipe holds more: the writer keeps
    // the pipe open, as a process that left the job would.
    enum class Output { pipe, full_pipe, file };
    for (const Output kind : {Output::pipe, Output::full_pipe, Output::file}) {
        Pipe input = make_pipe();
        Pipe output = make_pipe();
        const std::string path = (std::filesystem::temp_directory_path() /
                                  ("relay-stop-" + std::to_string(getpid())))
                                     .string();
        if (kind == Output::file) {
            output.write = FileDescriptor(
                open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
            ASSERT_TRUE(output.write.valid());
        }
        const FileDescriptor stop(eventfd(0, EFD_CLOEXEC));
        ASSERT_TRUE(stop.valid());
        const std::string held = pattern(100000);
        std::atomic<bool> stopped{false};
        std::thread writer([&] {
            EXPECT_FALSE(launcher::platform::write_all(input.write.get(), held.substr(0, 1000)));
            std::this_thread::sleep_for(100ms);  // relayed as it arrives
            EXPECT_FALSE(launcher::platform::write_all(input.write.get(), held.substr(1000)));
            std::this_thread::sleep_for(100ms);  // the relay waits in its call
            const std::uint64_t one = 1;
            EXPECT_EQ(write(stop.get(), &one, sizeof one), 8);
            stopped = true;
        });
        std::string arrived;
        std::thread reader([&] {
            while (kind == Output::full_pipe && !stopped) {
                std::this_thread::sleep_for(1ms);
            }
            if (kind != Output::file) {
                arrived = read_to_end(output.read.get());
            }
        });
        EXPECT_TRUE(launcher::platform::relay(input.read.get(), output.write.get(), stop.get()));
        writer.join();
        output.write.reset();
        reader.join();
        if (kind == Output::file) {
            std::ifstream written(path, std::ios::binary);
            arrived.assign(std::istreambuf_iterator<char>(written), {});
            std::filesystem::remove(path);
        }
        EXPECT_TRUE(arrived == held) << arrived.size() << " bytes";
    }
}

}  // namespace

// A write that fails for a while (here a file size limit that is raised,
// as a full disk gets room): the pieces after it are tried again, and one
// line says how many bytes were lost.
TEST(Relay, OutputThatTakesBytesAgainIsWrittenAgain) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit earlier{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &earlier), 0);
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("relay-limit-" + std::to_string(getpid())))
                                 .string();
    FileDescriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(file.valid());
    constexpr std::size_t limit = 64 * 1024;
    const std::string first = pattern(2 * limit);
    const std::string second = pattern(limit / 2 + 7).substr(5);
    Pipe input = make_pipe();
    rlimit lowered = earlier;
    lowered.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
    std::thread writer([&] {
        EXPECT_FALSE(launcher::platform::write_all(input.write.get(), first));
        // Once the relay has read all of it, the file may grow again.
        int held = 1;
        while (ioctl(input.write.get(), FIONREAD, &held) == 0 && held > 0) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &earlier), 0);
        EXPECT_FALSE(launcher::platform::write_all(input.write.get(), second));
        input.write.reset();
    });
    testing::internal::CaptureStderr();
    relay(input.read.get(), file.get());
    writer.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "launcher: cannot write to standard output; the server's output is dropped "
              "until it can be written again: File too large\n"
              "launcher: standard output takes the server's output again; 65536 bytes of it "
              "were lost\n");
    std::ifstream stream(path, std::ios::binary);
    const std::string written{std::istreambuf_iterator<char>(stream), {}};
    std::filesystem::remove(path);
    const std::string expected = first.substr(0, limit) + second;
    EXPECT_TRUE(written == expected)
        << written.size() << " bytes written, " << expected.size() << " expected";
}
