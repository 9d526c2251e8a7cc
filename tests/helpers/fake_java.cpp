// A stand-in for the Java runtime, put first on PATH by the end-to-end tests.
//
// It records what it received in the file named by FAKE_JAVA_RECORD (fields
// separated by NUL bytes: "pid=<n>", "cwd=<dir>", "SteamAppId=<value or
// (unset)>", "argc=<n>", then each argument), and then performs the actions listed in
// FAKE_JAVA, separated by ';':
//   out:<hex>        write these bytes to standard output
//   err:<hex>        write these bytes to standard error
//   lines:<count>    write <count> numbered 80-column lines to standard output
//   echo-stdin       copy standard input to standard output until it ends
//   echo-lines:<n>   copy standard input to standard output, one byte at a
//                    time, until <n> line feeds have passed (or it ends)
//   sleep:<ms>       sleep
//   exit:<code>      exit with this code
//   raise:<signal>   kill itself with this signal (default action)
//   orphan           leave an orphan that ends soon, wait, and report
//                    whether it was reaped ("orphan reaped") or is still a
//                    zombie ("orphan zombie")
//   signals:<ms>     count every catchable signal (all but KILL, STOP, CHLD
//                    and the faults SEGV, BUS, ILL, FPE, TRAP, ABRT; SIGPIPE is
//                    ignored); print "ready" and wait for the first, then wait
//                    <ms> for more and print one line "sig<N>=<count> ...
//                    from launcher=<n> others=<n>" (signal numbers in order,
//                    and who sent them), also written to the file
//                    <FAKE_JAVA_RECORD>.signals; a failed write to standard
//                    output is ignored, so that the line is kept when the
//                    launcher is gone
//   daemon:<ms>      fork a child that leaves the session (setsid), keeps
//                    standard output open (standard input and standard error
//                    go to /dev/null), sleeps <ms> and exits; the stand-in
//                    itself goes on with its next action at once
// With no actions it exits 0 at once.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

volatile sig_atomic_t counts[129];
volatile sig_atomic_t from_parent;  // sent by the launcher
volatile sig_atomic_t from_others;  // the terminal, the kernel or another process

void count_signal(int signal, siginfo_t* info, void*) {
    counts[signal] = counts[signal] + 1;
    if (info->si_code != SI_KERNEL && info->si_pid == getppid()) {
        from_parent = from_parent + 1;
    } else {
        from_others = from_others + 1;
    }
}

void write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::exit(90);
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string from_hex(std::string_view hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    }
    return bytes;
}

void sleep_ms(long ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// One short wait for a signal's handler to have run. Not pause(): a signal
// handled between the caller's look at the counts and pause() would leave it
// waiting for good. Not sigsuspend() with the signals blocked until then:
// two of the same signal sent meanwhile would be counted as one.
void nap() {
    timespec t{0, 2000000L};
    (void)nanosleep(&t, nullptr);
}

// Writes `text` to `path` whole or not at all: to a file beside it that is
// then renamed, so that a test that finds the file reads all of it. In a
// folder the stand-in may not write in (run as another user), nothing.
void publish(const std::string& path, const std::string& text) {
    const std::string partial = path + ".partial";
    if (std::ofstream(partial, std::ios::binary) << text) {
        (void)std::rename(partial.c_str(), path.c_str());
    }
}

void record(int argc, char** argv) {
    const char* path = std::getenv("FAKE_JAVA_RECORD");
    if (path == nullptr) {
        return;
    }
    char cwd[4096] = "";
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        std::strcpy(cwd, "(unknown)");
    }
    const char* app_id = std::getenv("SteamAppId");
    std::string out = "pid=" + std::to_string(getpid()) + '\0' + "cwd=" + cwd + '\0' +
                      "SteamAppId=" + (app_id != nullptr ? app_id : "(unset)") + '\0' +
                      "argc=" + std::to_string(argc) + '\0';
    for (int i = 0; i < argc; ++i) {
        out += argv[i];
        out += '\0';
    }
    publish(path, out);
}

// "lines" writes 80-column lines: a line number, padding, and a line feed.
void write_lines(long count) {
    std::string chunk;
    for (long i = 0; i < count; ++i) {
        char line[128];
        std::snprintf(line, sizeof line, "%010ld %068d\n", i, 0);
        chunk.append(line, 80);
        if (chunk.size() >= 64 * 1024) {
            write_all(STDOUT_FILENO, chunk);
            chunk.clear();
        }
    }
    write_all(STDOUT_FILENO, chunk);
}

void echo_stdin() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        write_all(STDOUT_FILENO, std::string_view(buffer, static_cast<std::size_t>(n)));
    }
}

void echo_lines(long count) {
    char byte = 0;
    while (count > 0) {
        const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        write_all(STDOUT_FILENO, std::string_view(&byte, 1));
        count -= byte == '\n' ? 1 : 0;
    }
}

bool counted(int signal) {
    switch (signal) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGSEGV:
    case SIGBUS:
    case SIGILL:
    case SIGFPE:
    case SIGTRAP:
    case SIGABRT:
    case SIGPIPE:
        return false;
    default:
        return signal < SIGSYS + 1 || signal >= SIGRTMIN;
    }
}

void count_signals(long linger_ms) {
    signal(SIGPIPE, SIG_IGN);
    for (int s = 1; s <= SIGRTMAX; ++s) {
        if (counted(s)) {
            struct sigaction action {};
            action.sa_sigaction = count_signal;
            action.sa_flags = SA_SIGINFO;
            sigaction(s, &action, nullptr);
        }
    }
    write_all(STDOUT_FILENO, "ready\n");
    const auto total = [] {
        long sum = 0;
        for (int s = 1; s <= SIGRTMAX; ++s) {
            sum += counts[s];
        }
        return sum;
    };
    while (total() == 0) {
        nap();
    }
    sleep_ms(linger_ms);
    std::string line;
    for (int s = 1; s <= SIGRTMAX; ++s) {
        if (counts[s] > 0) {
            line += "sig" + std::to_string(s) + "=" + std::to_string(counts[s]) + " ";
        }
    }
    line += "from launcher=" + std::to_string(from_parent) +
            " others=" + std::to_string(from_others) + "\n";
    if (const char* path = std::getenv("FAKE_JAVA_RECORD")) {
        publish(std::string(path) + ".signals", line);
    }
    (void)::write(STDOUT_FILENO, line.data(), line.size());
}

void start_daemon(long ms) {
    const pid_t child = fork();
    if (child < 0) {
        std::exit(92);
    }
    if (child == 0) {
        setsid();
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDERR_FILENO);
        sleep_ms(ms);
        _exit(0);
    }
}

void leave_orphan() {
    int ends[2];
    if (pipe(ends) != 0) {
        std::exit(91);
    }
    const pid_t middle = fork();
    if (middle == 0) {
        const pid_t orphan = fork();
        if (orphan == 0) {
            sleep_ms(100);  // its parent is gone by then
            _exit(0);
        }
        write_all(ends[1], std::to_string(orphan));
        _exit(0);
    }
    close(ends[1]);
    waitpid(middle, nullptr, 0);
    char text[32] = "";
    const ssize_t n = read(ends[0], text, sizeof text - 1);
    text[n > 0 ? n : 0] = '\0';
    sleep_ms(600);
    std::ifstream stat(std::string("/proc/") + text + "/stat");
    std::string content;
    std::getline(stat, content);
    const std::size_t paren = content.rfind(')');
    const bool zombie = paren != std::string::npos && paren + 2 < content.size() &&
                        content[paren + 2] == 'Z';
    write_all(STDOUT_FILENO, zombie ? "orphan zombie\n" : "orphan reaped\n");
}

}  // namespace

int main(int argc, char** argv) {
    record(argc, argv);
    const char* actions = std::getenv("FAKE_JAVA");
    std::string_view rest = actions != nullptr ? actions : "";
    while (!rest.empty()) {
        const std::size_t end = rest.find(';');
        const std::string_view action = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const std::size_t colon = action.find(':');
        const std::string_view name = action.substr(0, colon);
        const std::string value(colon == std::string_view::npos ? "" : action.substr(colon + 1));
        if (name == "out") {
            write_all(STDOUT_FILENO, from_hex(value));
        } else if (name == "err") {
            write_all(STDERR_FILENO, from_hex(value));
        } else if (name == "lines") {
            write_lines(std::stol(value));
        } else if (name == "echo-stdin") {
            echo_stdin();
        } else if (name == "echo-lines") {
            echo_lines(std::stol(value));
        } else if (name == "sleep") {
            sleep_ms(std::stol(value));
        } else if (name == "exit") {
            return std::stoi(value);
        } else if (name == "raise") {
            signal(std::stoi(value), SIG_DFL);
            raise(std::stoi(value));
        } else if (name == "signals") {
            count_signals(std::stol(value));
        } else if (name == "orphan") {
            leave_orphan();
        } else if (name == "daemon") {
            start_daemon(std::stol(value));
        } else {
            std::fprintf(stderr, "fake java: unknown action %.*s\n", static_cast<int>(name.size()),
                         name.data());
            return 99;
        }
    }
    return 0;
}
