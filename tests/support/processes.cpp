#include "processes.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

namespace test {

Descriptor::~Descriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

Pipe make_pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::system_category(), "pipe2");
    }
    return {Descriptor(ends[0]), Descriptor(ends[1])};
}

Descriptor open_null() {
    const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::system_category(), "/dev/null");
    }
    return Descriptor(fd);
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool gone(long pid) {
    return pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

ProcessState state_of(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // The command name in parentheses may hold anything: the fields after
    // it are counted from its last ')'.
    const std::size_t paren = line.rfind(')');
    ProcessState result;
    if (paren == std::string::npos || paren + 4 > line.size()) {
        return result;
    }
    result.state = line[paren + 2];
    result.parent = std::stol(line.substr(paren + 4));
    return result;
}

}  // namespace test
