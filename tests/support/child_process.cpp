#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace test {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::system_category(), what);
}

}  // namespace

std::vector<std::string> environment_with(const std::map<std::string, std::string>& changes,
                                          const std::vector<std::string>& unset) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::size_t equals = text.find('=');
        merged[text.substr(0, equals)] = equals == std::string::npos ? "" : text.substr(equals + 1);
    }
    for (const auto& [name, value] : changes) {
        merged[name] = value;
    }
    for (const std::string& name : unset) {
        merged.erase(name);
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : merged) {
        result.push_back(name + "=" + value);
    }
    return result;
}

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

int decode(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

// Spawn settings with an owner: every signal at its default action and none
// blocked in the child, whatever the test program has set for itself.
class SpawnSettings {
public:
    SpawnSettings() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        sigset_t defaults;
        sigfillset(&defaults);
        sigdelset(&defaults, SIGKILL);
        sigdelset(&defaults, SIGSTOP);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;
    ~SpawnSettings() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }

    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
};

}  // namespace

Child::Child(const Options& options) : program_(options.argv.at(0)) {
    std::vector<std::string> argv = options.argv;
    std::vector<std::string> env = environment_with(options.environment, options.unset);
    std::vector<char*> argv_pointers = pointers(argv);
    std::vector<char*> env_pointers = pointers(env);

    SpawnSettings settings;

    Descriptor child_ends[3];  // closed here once the child has them
    std::string slave_name;
    if (!options.terminal) {
        // Off a terminal whatever terminal the tests run on: a session of
        // its own, and so a process group of its own too.
        settings.flags |= POSIX_SPAWN_SETSID;
    }
    terminal_ = options.terminal;
    if (options.terminal) {
        input_ = Descriptor(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (input_.get() < 0 || grantpt(input_.get()) != 0 || unlockpt(input_.get()) != 0) {
            fail("pseudo-terminal");
        }
        slave_name = ptsname(input_.get());
        output_ = Descriptor(fcntl(input_.get(), F_DUPFD_CLOEXEC, 0));
        if (output_.get() < 0) {
            fail("pseudo-terminal");
        }
        // A session leader that opens a terminal makes it its controlling one.
        settings.flags |= POSIX_SPAWN_SETSID;
        posix_spawn_file_actions_addopen(&settings.actions, 0, slave_name.c_str(), O_RDWR, 0);
        posix_spawn_file_actions_adddup2(&settings.actions, 0, 1);
        posix_spawn_file_actions_adddup2(&settings.actions, 0, 2);
        // stderr is the terminal: a pipe whose write end is closed at once
        // only reads end of file.
        error_ = make_pipe().read;
    } else {
        Pipe in = make_pipe();
        Pipe out = make_pipe();
        Pipe err = make_pipe();
        if (options.nonblocking_output) {
            fcntl(out.write.get(), F_SETFL, fcntl(out.write.get(), F_GETFL) | O_NONBLOCK);
        }
        input_ = std::move(in.write);
        output_ = std::move(out.read);
        error_ = std::move(err.read);
        child_ends[0] = std::move(in.read);
        child_ends[1] = std::move(out.write);
        child_ends[2] = std::move(err.write);
        for (int fd = 0; fd < 3; ++fd) {
            posix_spawn_file_actions_adddup2(&settings.actions, child_ends[fd].get(), fd);
        }
    }
    if (!options.directory.empty()) {
        posix_spawn_file_actions_addchdir_np(&settings.actions, options.directory.c_str());
    }
    posix_spawnattr_setflags(&settings.attributes, settings.flags);

    const int error = posix_spawn(&pid_, argv[0].c_str(), &settings.actions, &settings.attributes,
                                  argv_pointers.data(), env_pointers.data());
    for (Descriptor& end : child_ends) {
        end = Descriptor();
    }
    if (error != 0) {
        errno = error;
        fail("cannot start " + argv[0]);
    }
    fcntl(input_.get(), F_SETFL, fcntl(input_.get(), F_GETFL) | O_NONBLOCK);
    if (options.input) {
        send_input(*options.input);
        close_input();
    }
}

Child::~Child() {
    if (pid_ > 0) {
        // A test that gave up: ask first, so that a launcher can still stop
        // its server, then insist.
        kill(pid_, SIGTERM);
        bool ended = false;
        for (int i = 0; i < 300 && !ended; ++i) {
            ended = waitpid(pid_, nullptr, WNOHANG) == pid_;
            usleep(ended ? 0 : 10000);
        }
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
}

void Child::send_input(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(input_.get(), text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            // Keep reading while the child is busy, so that it never blocks on us.
            pump(std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
        } else if (n < 0 && errno != EINTR) {
            fail("writing to the child");
        }
    }
}

void Child::close_input() {
    if (!terminal_) {
        input_ = Descriptor();
    }
}

void Child::close_output() {
    output_ = Descriptor();
}

void Child::hang_up() {
    input_ = Descriptor();
    output_ = Descriptor();
}

void Child::signal(int number) {
    if (kill(pid_, number) != 0) {
        fail("kill");
    }
}

// Reads what is there from both outputs until the deadline; false once both
// have ended.
bool Child::pump(std::chrono::steady_clock::time_point deadline) {
    while (output_.get() >= 0 || error_.get() >= 0) {
        pollfd fds[2] = {{output_.get(), POLLIN, 0}, {error_.get(), POLLIN, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return true;
        }
        const int ready = poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return true;
        }
        Descriptor* fds_owned[2] = {&output_, &error_};
        std::string* sinks[2] = {&result_.out, &result_.err};
        bool got = false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
                got = true;
            } else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                // End of file, or EIO from a terminal whose last user left.
                *fds_owned[i] = Descriptor();
            }
        }
        if (got) {
            return true;
        }
    }
    return false;
}

bool Child::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (result_.out.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline || !pump(deadline)) {
            return result_.out.find(text) != std::string::npos;
        }
    }
    return true;
}

Result Child::finish(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // At the deadline the child is killed. Its outputs may still be held by
    // a process it started, which the kill does not reach: they are read a
    // little longer for the record, then given up, so that a test fails
    // rather than waits forever.
    auto reading_until = deadline;
    bool killed = false;
    bool still_held = false;
    while (pump(reading_until)) {
        if (std::chrono::steady_clock::now() < reading_until) {
            continue;
        }
        if (killed) {
            still_held = true;
            hang_up();
            error_ = Descriptor();
            break;
        }
        result_.timed_out = true;
        kill(pid_, SIGKILL);
        killed = true;
        reading_until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    }
    int wait_status = 0;
    for (;;) {
        const pid_t done = waitpid(pid_, &wait_status, WNOHANG);
        if (done == pid_) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            result_.timed_out = true;
            kill(pid_, SIGKILL);
            waitpid(pid_, &wait_status, 0);
            break;
        }
        usleep(2000);
    }
    const pid_t pid = pid_;
    pid_ = -1;
    result_.status = decode(wait_status);
    if (still_held) {
        throw std::runtime_error(
            "test::Child::finish: " + program_ + " (process " + std::to_string(pid) +
            ") was killed at its " + std::to_string(timeout.count()) +
            " ms timeout, and a process it started still held its standard output or error "
            "open 2 s later; status " +
            std::to_string(result_.status) + ", standard output so far:\n" + result_.out +
            "\nstandard error so far:\n" + result_.err);
    }
    return result_;
}

pid_t start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
            int input, int output) {
    if (argv.empty()) {
        throw std::invalid_argument("no program to start");
    }
    std::vector<std::string> args = argv;
    std::vector<std::string> env = environment;
    std::vector<char*> arg_pointers = pointers(args);
    std::vector<char*> env_pointers = pointers(env);
    SpawnSettings settings;
    posix_spawn_file_actions_adddup2(&settings.actions, input, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&settings.actions, output, STDOUT_FILENO);
    posix_spawnattr_setflags(&settings.attributes, settings.flags);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, args[0].c_str(), &settings.actions, &settings.attributes,
                                  arg_pointers.data(), env_pointers.data());
    if (error != 0) {
        errno = error;
        fail("cannot start " + argv[0]);
    }
    return pid;
}

int wait_for(pid_t pid) {
    int wait_status = 0;
    while (waitpid(pid, &wait_status, 0) < 0) {
        if (errno != EINTR) {
            fail("waitpid");
        }
    }
    return decode(wait_status);
}

Result run(const Options& options, std::chrono::milliseconds timeout) {
    Child child(options);
    return child.finish(timeout);
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(file), {});
}

ScratchDirectory::ScratchDirectory() : ScratchDirectory("launcher-test") {}

ScratchDirectory::ScratchDirectory(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        fail("mkdtemp");
    }
    path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void ScratchDirectory::write(const std::string& name, const std::string& content) const {
    std::ofstream(file(name), std::ios::binary) << content;
}

}  // namespace test
