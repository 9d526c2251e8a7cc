// Child processes and scratch folders for the end-to-end tests and the bench
// (the static library test_support, POSIX only).
//
// Child runs a program for a test: its standard output and standard error
// are captured apart, its standard input is fed from a string or left open
// for the test to write, and it can be signalled while it runs. start() and
// wait_for() are the bare form, for pipelines the caller wires up itself.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "processes.h"

namespace test {

struct Options {
    std::vector<std::string> argv;                   // argv[0] is the program's path
    std::string directory;                           // working directory; empty: the test's
    std::map<std::string, std::string> environment;  // added to (or replacing in) the test's
    std::vector<std::string> unset;                  // removed from the environment
    std::optional<std::string> input;  // fed to stdin, then closed; none: stdin stays open
    bool terminal = false;             // stdin, stdout and stderr on a new pseudo-terminal,
                                       // in a new session that it controls; otherwise in a
                                       // new session without a terminal
    bool nonblocking_output = false;   // stdout is a pipe in non-blocking mode
};

struct Result {
    std::string out;  // on a terminal, everything the terminal showed
    std::string err;
    int status = -1;  // exit code, or 128+N after signal N
    bool timed_out = false;
};

class Child {
public:
    explicit Child(const Options& options);
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    pid_t pid() const { return pid_; }

    // Reads output until standard output holds `text`; false on timeout or
    // when the output ends first.
    bool wait_for_output(const std::string& text,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void send_input(const std::string& text);
    void close_input();
    // Stops reading standard output: the child's next write to it fails.
    void close_output();
    void signal(int number);
    // On a terminal: closes the terminal's other side, which hangs it up;
    // the child's session loses its controlling terminal.
    void hang_up();

    // Reads to the end of both outputs and collects the status; a child that
    // is still running at the timeout is killed and reported as timed out.
    // Throws std::runtime_error, with the output so far, when the outputs are
    // still open 2 s after the timeout (a process the child started holds
    // them), rather than wait for them without end.
    Result finish(std::chrono::milliseconds timeout = std::chrono::seconds(60));

    const std::string& out() const { return result_.out; }

private:
    bool pump(std::chrono::steady_clock::time_point deadline);

    std::string program_;
    pid_t pid_ = -1;
    Descriptor input_;
    Descriptor output_;
    Descriptor error_;
    bool terminal_ = false;
    Result result_;
};

// Runs to the end with the options given.
Result run(const Options& options, std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Starts `argv` (argv[0] is the program's path) with exactly `environment`
// ("NAME=value" entries), standard input and output on the descriptors given
// and standard error the caller's; the child does not inherit the caller's
// blocked or ignored signals. Throws std::system_error when it cannot start.
pid_t start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
            int input, int output);

// The test's own environment with `changes` added or replacing and `unset`
// removed, as "NAME=value" entries for start().
std::vector<std::string> environment_with(const std::map<std::string, std::string>& changes,
                                          const std::vector<std::string>& unset = {});

// Waits for `pid` to end: its exit code, or 128+N after signal N. Throws
// std::system_error when there is no such child.
int wait_for(pid_t pid);

// The bytes of a file, or nothing when it cannot be read.
std::optional<std::string> read_file(const std::string& path);

// A fresh scratch folder under the system's temporary folder, removed by the
// destructor with everything in it. Its name starts with `prefix`.
class ScratchDirectory {
public:
    ScratchDirectory();
    explicit ScratchDirectory(const std::string& prefix);
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

}  // namespace test
