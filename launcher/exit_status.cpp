#include "exit_status.h"

#include "report.h"

namespace launcher {

int exit_status(const ServerEnd& end) {
    return end.how == ServerEnd::How::signalled ? 128 + end.code : end.code;
}

void explain_server_end(const ServerEnd& end) {
    const std::string status = " (status " + std::to_string(end.code) + ")";
    switch (end.how) {
    case ServerEnd::How::exited:
        return;
    case ServerEnd::How::signalled: {
        std::string line = "the server was ended by signal " + std::to_string(end.code);
        if (!end.signal_name.empty()) {
            line += " (SIG" + end.signal_name + ")";
        }
        if (end.signal_name == "KILL") {
            // What the kernel's out-of-memory killer sends.
            line +=
                "; the system may have run out of memory: a smaller server_memory in "
                "server.properties leaves it more";
        }
        report(line);
        return;
    }
    case ServerEnd::How::java_not_found:
        report("the server did not start: java was not found on PATH" + status +
               ": install a Java runtime and put the folder that holds java on PATH, or start "
               "the launcher where \"java -version\" works");
        return;
    case ServerEnd::How::java_not_executable:
        report("the server did not start: java was found but cannot be executed" + status);
        return;
    }
}

}  // namespace launcher
