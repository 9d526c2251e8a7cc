// Measures the launcher against the plainest way of doing its job, side by
// side in one run, and prints the figures and their ratios:
//
//   throughput  launcher | cat > /dev/null
//               against  sh -c 'exec java' | cat | cat > /dev/null
//               (cat as the relay), the stand-in writing 80-column lines,
//               then the same lines copied from a file by cat so that the
//               relay is the slowest part; with each relay's processor time;
//   latency     the time a line takes from the bench through a server that
//               echoes its input back to the bench, with the launcher, cat or
//               nothing relaying the server's output;
//   start-up    the launcher on a server that exits at once, against
//               sh -c 'exec java -Xmx2048m -jar server.jar' alone and under
//               tini and dumb-init (where installed), and the peak resident
//               size of the launcher process;
//   stop        SIGTERM to the launcher until the server has its report and
//               until the launcher has ended, against tini.
//
// Each pair of runs is made back to back, in alternating order, and the
// figures are medians, so that a busy machine slows both sides alike.
// The exit status is non-zero only when a run itself failed (a non-zero
// status, a lost line); the ratios are for people to read.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "child_process.h"
#include "processes.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what, int error = errno) {
    throw std::system_error(error, std::system_category(), what);
}

using test::Descriptor;
using test::open_null;
using test::Pipe;

struct Settings {
    std::string launcher = LAUNCHER_BINARY;
    std::string fake_java_dir = FAKE_JAVA_DIR;
    long lines = 3355443;  // 256 MiB of 80-column lines
    int throughput_pairs = 9;
    int latency_samples = 300;
    int startup_pairs = 300;
    int idle_processes = 2000;  // the crowd on the host for the start-up runs
    int stop_samples = 100;
    std::string old_launcher;  // an earlier build, started side by side
    std::string only;          // one part alone: throughput, latency, startup or stop
};

// The environment of every run: the stand-in runtime first on PATH, and
// FAKE_JAVA set to `actions`.
std::vector<std::string> environment(const std::string& java_dir, const std::string& actions) {
    const char* path = std::getenv("PATH");
    return test::environment_with(
        {{"PATH", java_dir + ":" + (path != nullptr ? path : "/usr/bin:/bin")},
         {"FAKE_JAVA", actions}});
}

// Waits for `pid`; throws unless it exited with status 0.
void collect(pid_t pid, const std::string& what) {
    const int status = test::wait_for(pid);
    if (status != 0) {
        throw std::runtime_error(what + " failed (status " + std::to_string(status) + ")");
    }
}

using Command = std::vector<std::string>;

// The processor time, user and system, that process `pid` used itself (not
// its children), once it has ended but before it is collected.
double own_cpu_seconds(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
        if (errno != EINTR) {
            fail("waitid");
        }
    }
    std::FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (file == nullptr) {
        fail("/proc/<pid>/stat");
    }
    char text[1024] = "";
    const std::size_t size = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[size] = '\0';
    // Fields 14 and 15, utime and stime, counted after the command name.
    const char* field = std::strrchr(text, ')');
    for (int i = 2; i < 14 && field != nullptr; ++i) {
        field = std::strchr(field + 1, ' ');
    }
    if (field == nullptr) {
        throw std::runtime_error("unexpected /proc/<pid>/stat");
    }
    char* end = nullptr;
    const double user = std::strtod(field + 1, &end);
    const double system = std::strtod(end, nullptr);
    return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct PipelineRun {
    double seconds = 0;               // wall time of the whole pipeline
    std::vector<double> cpu_seconds;  // each command's own processor time
};

// Runs the commands as a pipeline from /dev/null to /dev/null.
PipelineRun run_pipeline(const std::vector<Command>& commands,
                         const std::vector<std::string>& env) {
    const Descriptor null = open_null();
    const auto start = Clock::now();
    std::vector<pid_t> pids;
    Descriptor input;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const bool last = i + 1 == commands.size();
        Pipe pipe = last ? Pipe{} : test::make_pipe();
        const int in = input.get() >= 0 ? input.get() : null.get();
        const int out = last ? null.get() : pipe.write.get();
        pids.push_back(test::start(commands[i], env, in, out));
        input = std::move(pipe.read);
    }
    PipelineRun run;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        run.cpu_seconds.push_back(own_cpu_seconds(pids[i]));
        collect(pids[i], commands[i][0]);
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return run;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Runs `a` and `b` `pairs` times each, alternating which goes first, and
// returns the medians of a, b and a/b.
struct Paired {
    double a;
    double b;
    double ratio;
};

template <typename A, typename B>
Paired paired(int pairs, A a, B b) {
    std::vector<double> as, bs, ratios;
    for (int i = 0; i < pairs; ++i) {
        double ta = 0, tb = 0;
        if (i % 2 == 0) {
            ta = a();
            tb = b();
        } else {
            tb = b();
            ta = a();
        }
        as.push_back(ta);
        bs.push_back(tb);
        ratios.push_back(ta / tb);
    }
    return {median(as), median(bs), median(ratios)};
}

// One throughput comparison: the launcher, and cat, relaying what the
// runtime found in `java_dir` writes.
void compare_relays(const Settings& s, const std::string& java_dir, const std::string& title) {
    const auto env = environment(java_dir, "lines:" + std::to_string(s.lines));
    const Command cat = {"/bin/cat"};
    // The relay's own processor time: the launcher's, and the first cat's.
    std::vector<double> launcher_cpu, cat_cpu;
    const auto result = paired(
        s.throughput_pairs,
        [&] {
            const PipelineRun run = run_pipeline({{s.launcher}, cat}, env);
            launcher_cpu.push_back(run.cpu_seconds[0]);
            return run.seconds;
        },
        [&] {
            const PipelineRun run = run_pipeline({{"/bin/sh", "-c", "exec java"}, cat, cat}, env);
            cat_cpu.push_back(run.cpu_seconds[1]);
            return run.seconds;
        });
    const double mib = static_cast<double>(s.lines) * 80 / (1024 * 1024);
    std::printf("%s: %.1f MiB of 80-column lines, median of %d paired runs\n", title.c_str(), mib,
                s.throughput_pairs);
    std::printf("                                              wall time  rate        relay CPU\n");
    std::printf("  launcher | cat > /dev/null                  %7.3f s  %6.1f MiB/s  %6.2f s\n",
                result.a, mib / result.a, median(launcher_cpu));
    std::printf("  sh -c 'exec java' | cat | cat > /dev/null   %7.3f s  %6.1f MiB/s  %6.2f s\n",
                result.b, mib / result.b, median(cat_cpu));
    std::printf("  ratio launcher / cat                        %7.3f\n", result.ratio);
}

void throughput(const Settings& s) {
    // The stand-in formats every line, so that it is the slowest part, as a
    // real server is.
    compare_relays(s, s.fake_java_dir, "throughput (target: ratio <= 1.0)");
    std::fflush(stdout);

    // A runtime that writes the same lines from a file as fast as the system
    // lets it, so that the relay itself is the slowest part.
    const std::filesystem::path fast_dir = std::filesystem::absolute("fast-java");
    std::filesystem::create_directories(fast_dir);
    {
        const Descriptor lines(
            ::open((fast_dir / "lines").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (lines.get() < 0) {
            fail("cannot create the lines file");
        }
        collect(test::start({(std::filesystem::path(s.fake_java_dir) / "java").string()},
                            environment(s.fake_java_dir, "lines:" + std::to_string(s.lines)),
                            open_null().get(), lines.get()),
                "java");
    }
    {
        std::FILE* script = std::fopen((fast_dir / "java").c_str(), "w");
        if (script == nullptr) {
            fail("cannot create the fast runtime");
        }
        std::fprintf(script, "#!/bin/sh\nexec cat '%s'\n", (fast_dir / "lines").c_str());
        std::fclose(script);
        std::filesystem::permissions(fast_dir / "java", std::filesystem::perms::owner_all);
    }
    compare_relays(s, fast_dir.string(), "throughput, the relay as the slowest part");
    std::filesystem::remove_all(fast_dir);
}

// Sends numbered lines into the command's standard input one at a time and
// returns the median time until each came back on its standard output, in
// microseconds.
double echo_latency(const Command& command, const std::vector<std::string>& env, int samples) {
    Pipe in = test::make_pipe();
    Pipe out = test::make_pipe();
    const pid_t pid = test::start(command, env, in.read.get(), out.write.get());
    in.read = Descriptor();
    out.write = Descriptor();
    std::string seen;
    std::vector<double> times;
    constexpr int warm_up = 10;
    for (int i = 0; i < samples + warm_up; ++i) {
        const std::string line = "ping " + std::to_string(i) + "\n";
        const auto start = Clock::now();
        if (::write(in.write.get(), line.data(), line.size()) !=
            static_cast<ssize_t>(line.size())) {
            fail("writing to " + command[0]);
        }
        while (!seen.ends_with(line)) {
            char buffer[4096];
            const ssize_t n = ::read(out.read.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                throw std::runtime_error(command[0] + " ended before echoing " + line);
            }
            seen.append(buffer, static_cast<std::size_t>(n));
        }
        if (i >= warm_up) {
            times.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        seen.clear();
        // The server idles between lines, as a game server's console does.
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    in.write = Descriptor();
    collect(pid, command[0]);
    return median(times);
}

void latency(const Settings& s) {
    const auto env = environment(s.fake_java_dir, "echo-stdin");
    // The pipeline "sh -c 'exec java' | cat" as one process of the bench's.
    const Command cat_relay = {"/bin/sh", "-c", "sh -c 'exec java' | cat"};
    const double direct = echo_latency({"/bin/sh", "-c", "exec java"}, env, s.latency_samples);
    const double via_cat = echo_latency(cat_relay, env, s.latency_samples);
    const double via_launcher = echo_latency({s.launcher}, env, s.latency_samples);
    std::printf("latency: a line through an echoing server and back, median of %d\n",
                s.latency_samples);
    std::printf("  no relay                                    %8.1f us\n", direct);
    std::printf("  cat as the relay                            %8.1f us\n", via_cat);
    std::printf("  launcher as the relay                       %8.1f us\n", via_launcher);
    std::printf("  added by the launcher                       %8.1f us  (target < 1000)\n",
                via_launcher - direct);
}

// Runs `command` from /dev/null to /dev/null; returns its wall time in seconds.
double run_once(const Command& command, const std::vector<std::string>& env) {
    const Descriptor null = open_null();
    const auto start = Clock::now();
    collect(test::start(command, env, null.get(), null.get()), command[0]);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs `command` and samples the VmHWM line of its /proc status until it
// ends; returns the last value read, in KiB.
long peak_rss_while_running(const Command& command, const std::vector<std::string>& env) {
    const Descriptor null = open_null();
    const pid_t pid = test::start(command, env, null.get(), null.get());
    const std::string status_path = "/proc/" + std::to_string(pid) + "/status";
    long peak = 0;
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            break;
        }
        std::FILE* status = std::fopen(status_path.c_str(), "r");
        if (status != nullptr) {
            char line[256];
            while (std::fgets(line, sizeof line, status) != nullptr) {
                if (std::strncmp(line, "VmHWM:", 6) == 0) {
                    peak = std::max(peak, std::atol(line + 6));
                }
            }
            std::fclose(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    collect(pid, command[0]);
    return peak;
}

// `count` idle processes on the host while it lives: forked children that
// wait until it ends them.
class IdleCrowd {
public:
    explicit IdleCrowd(int count) {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = ::fork();
            if (pid < 0) {
                fail("fork of an idle process");
            }
            if (pid == 0) {
                ::pause();
                ::_exit(0);
            }
            pids_.push_back(pid);
        }
    }
    IdleCrowd(const IdleCrowd&) = delete;
    IdleCrowd& operator=(const IdleCrowd&) = delete;
    ~IdleCrowd() {
        for (const pid_t pid : pids_) {
            ::kill(pid, SIGKILL);
        }
        for (const pid_t pid : pids_) {
            ::waitpid(pid, nullptr, 0);
        }
    }

private:
    std::vector<pid_t> pids_;
};

// The medians of `count` rounds in which each of `runs` runs once, the
// first of each round taking turns, so that a busy machine slows all alike.
std::vector<double> round_robin(int count, const std::vector<std::function<double()>>& runs) {
    std::vector<std::vector<double>> times(runs.size());
    for (int round = 0; round < count; ++round) {
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const std::size_t which = (i + static_cast<std::size_t>(round)) % runs.size();
            times[which].push_back(runs[which]());
        }
    }
    std::vector<double> medians;
    for (std::vector<double>& samples : times) {
        medians.push_back(median(samples));
    }
    return medians;
}

void startup(const Settings& s) {
    const auto env = environment(s.fake_java_dir, "");
    const std::string java = "exec java -Xmx2048m -jar server.jar";
    std::vector<std::pair<std::string, Command>> commands = {
        {"sh -c 'exec java ...'", {"/bin/sh", "-c", java}}, {"launcher", {s.launcher}}};
    if (::access("/usr/bin/tini", X_OK) == 0) {
        commands.push_back({"tini -s -- sh -c 'exec java ...'",
                            {"/usr/bin/tini", "-s", "--", "/bin/sh", "-c", java}});
    }
    if (::access("/usr/bin/dumb-init", X_OK) == 0) {
        commands.push_back(
            {"dumb-init sh -c 'exec java ...'", {"/usr/bin/dumb-init", "/bin/sh", "-c", java}});
    }
    std::vector<std::function<double()>> runs;
    for (const auto& command : commands) {
        runs.emplace_back([&] { return run_once(command.second, env); });
    }
    const std::vector<double> times = round_robin(s.startup_pairs, runs);
    std::printf("start-up: a server that exits at once, median of %d rounds\n", s.startup_pairs);
    std::printf("                                            time   / sh\n");
    for (std::size_t i = 0; i < commands.size(); ++i) {
        std::printf("  %-34s %8.2f ms %6.3f\n", commands[i].first.c_str(), times[i] * 1000,
                    times[i] / times[0]);
    }
    if (!s.old_launcher.empty()) {
        // Side by side with an earlier build, then the same with a crowd of
        // idle processes on the host: what the launcher costs must not grow
        // with the machine's other processes.
        const auto against_old = [&] {
            return paired(
                s.startup_pairs, [&] { return run_once({s.launcher}, env); },
                [&] { return run_once({s.old_launcher}, env); });
        };
        const Paired quiet = against_old();
        Paired crowded{};
        {
            const IdleCrowd crowd(s.idle_processes);
            crowded = against_old();
        }
        std::printf("  against %s, median of %d paired runs\n", s.old_launcher.c_str(),
                    s.startup_pairs);
        std::printf("                                   launcher     earlier   ratio\n");
        std::printf("  alone                          %8.2f ms %8.2f ms %7.3f\n", quiet.a * 1000,
                    quiet.b * 1000, quiet.ratio);
        std::printf("  with %5d idle processes       %8.2f ms %8.2f ms %7.3f\n", s.idle_processes,
                    crowded.a * 1000, crowded.b * 1000, crowded.ratio);
        std::printf("  with / alone                   %8.3f    %8.3f       (target <= 1.05)\n",
                    crowded.a / quiet.a, crowded.b / quiet.b);
    }

    // The launcher's own peak resident size: wait4 would report the larger
    // of it, its children's and whatever the bench had when it started it,
    // so it is read from the launcher's VmHWM while the server runs, until
    // the launcher ends.
    long launcher_rss = 0;
    for (int i = 0; i < 3; ++i) {
        launcher_rss = std::max(
            launcher_rss,
            peak_rss_while_running({s.launcher}, environment(s.fake_java_dir, "sleep:200")));
    }
    std::printf("  peak RSS of the launcher (VmHWM)            %8ld KiB  (target < 4096)\n",
                launcher_rss);
}

// Times from SIGTERM to the server's report of it on the bench's pipe, and
// to the end of the process that the bench started.
struct StopTimes {
    double reached = 0;
    double ended = 0;
};

StopTimes stop_once(const Command& command, const std::vector<std::string>& env) {
    const Descriptor null = open_null();
    Pipe output = test::make_pipe();
    const pid_t pid = test::start(command, env, null.get(), output.write.get());
    output.write = Descriptor();
    std::string seen;
    char buffer[256];
    const auto read_until = [&](const std::string& text) {
        while (seen.find(text) == std::string::npos) {
            const ssize_t got = ::read(output.read.get(), buffer, sizeof buffer);
            if (got <= 0) {
                fail("the stand-in's output ended before \"" + text + "\"", EIO);
            }
            seen.append(buffer, static_cast<std::size_t>(got));
        }
    };
    read_until("ready\n");
    const auto start = Clock::now();
    ::kill(pid, SIGTERM);
    read_until("sig15=");
    StopTimes times;
    times.reached = std::chrono::duration<double>(Clock::now() - start).count();
    collect(pid, command[0]);
    times.ended = std::chrono::duration<double>(Clock::now() - start).count();
    return times;
}

void stop(const Settings& s) {
    const std::string tini = "/usr/bin/tini";
    if (::access(tini.c_str(), X_OK) != 0) {
        std::printf("stop: skipped, no %s\n", tini.c_str());
        return;
    }
    const auto env = environment(s.fake_java_dir, "signals:0");
    const Command with_tini = {tini,      "-s", "--",
                               "/bin/sh", "-c", "exec java -Xmx2048m -jar server.jar"};
    std::vector<double> reached_l, reached_t, ended_l, ended_t;
    for (int i = 0; i < s.stop_samples; ++i) {
        const StopTimes l = stop_once({s.launcher}, env);
        const StopTimes t = stop_once(with_tini, env);
        reached_l.push_back(l.reached);
        reached_t.push_back(t.reached);
        ended_l.push_back(l.ended);
        ended_t.push_back(t.ended);
    }
    std::printf("stop: SIGTERM to the launcher and to tini, median of %d runs each\n",
                s.stop_samples);
    std::printf("                                     launcher       tini  ratio\n");
    std::printf("  until the server's line is read  %8.1f us %8.1f us %6.3f\n",
                median(reached_l) * 1e6, median(reached_t) * 1e6,
                median(reached_l) / median(reached_t));
    std::printf("  until the process has ended      %8.1f us %8.1f us %6.3f  (target <= 1.3)\n",
                median(ended_l) * 1e6, median(ended_t) * 1e6, median(ended_l) / median(ended_t));
}

void usage() {
    std::fputs(
        "usage: launcher_bench [--smoke] [--only throughput|latency|startup|stop]\n"
        "                      [--lines N] [--launcher PATH] [--old PATH] [--fake-java-dir DIR]\n"
        "  --old    an earlier build of the launcher, for start-up side by side\n"
        "  --smoke  small sizes and few runs: checks that every run works\n",
        stderr);
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--smoke") {
            settings.lines = 20000;
            settings.throughput_pairs = 1;
            settings.latency_samples = 20;
            settings.startup_pairs = 2;
            settings.idle_processes = 20;
            settings.stop_samples = 2;
        } else if (arg == "--only" && has_value) {
            settings.only = argv[++i];
        } else if (arg == "--lines" && has_value) {
            settings.lines = std::atol(argv[++i]);
        } else if (arg == "--launcher" && has_value) {
            settings.launcher = argv[++i];
        } else if (arg == "--old" && has_value) {
            settings.old_launcher = argv[++i];
        } else if (arg == "--fake-java-dir" && has_value) {
            settings.fake_java_dir = argv[++i];
        } else {
            usage();
            return 2;
        }
    }
    try {
        // The runs happen in a scratch server folder without settings.
        const test::ScratchDirectory folder("launcher-bench-run");
        std::filesystem::current_path(folder.path());
        const std::pair<const char*, void (*)(const Settings&)> parts[] = {
            {"throughput", throughput}, {"latency", latency}, {"startup", startup}, {"stop", stop}};
        for (const auto& [name, part] : parts) {
            if (settings.only.empty() || settings.only == name) {
                part(settings);
                std::fflush(stdout);
            }
        }
        std::filesystem::current_path("/");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "launcher_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
