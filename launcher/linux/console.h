// The server's console input on Linux when the launcher is given a FIFO
// (`--console PATH`): the FIFO itself, the pipe that becomes the server's
// standard input, and the thread that forwards whole lines from the FIFO and
// from the launcher's own standard input to that pipe.
#pragma once

#include <sys/types.h>

#include <string>
#include <system_error>
#include <thread>

#include "descriptor.h"
#include "platform.h"

namespace launcher::platform {

class ServerConsole {
public:
    // Makes a FIFO at `path` with mode 0620 (owner read and write, group
    // write, nothing for others, whatever the umask), or takes the FIFO of
    // the launcher's own user that an earlier run left there (its mode set
    // to 0620 as well), and holds it open for reading and writing, so that
    // writers coming and going never end it. Anything else at `path` (a
    // regular file, a symbolic link, a directory, a device, another user's
    // FIFO) is refused and left as it is. On failure, one line naming
    // `path` is written to standard error and nothing is returned.
    static ServerConsoleOwner open(const std::string& path);

    ServerConsole(const ServerConsole&) = delete;
    ServerConsole& operator=(const ServerConsole&) = delete;
    ServerConsole(ServerConsole&&) = delete;
    ServerConsole& operator=(ServerConsole&&) = delete;
    // Stops the forwarding (joins its thread) and removes the FIFO, if what
    // is at its path is still the FIFO that open() took.
    ~ServerConsole();

    // Makes the pipe for the server's standard input and starts the
    // forwarding thread, which writes into that pipe until stop(). Called
    // before the server starts, on a thread that blocks the signals the
    // launcher takes (the forwarding thread inherits its mask). The system's
    // reason when the pipe or the thread cannot be had; it is not reported.
    std::error_code start();
    // The pipe's read end, close-on-exec: the server's descriptor 0.
    int server_input() const { return server_input_.get(); }
    // Once the server has started: closes the launcher's copy of the read
    // end, so that a write after the server has gone fails (EPIPE) rather
    // than fills the pipe.
    void server_started() { server_input_.reset(); }
    // Ends the forwarding thread and waits for it; what it has not written
    // yet is dropped. Nothing when it does not run.
    void stop();

private:
    ServerConsole() = default;
    void forward();

    std::string path_;
    dev_t device_ = 0;  // the FIFO's identity, for its removal
    ino_t inode_ = 0;
    FileDescriptor fifo_;          // read and write, non-blocking
    FileDescriptor server_input_;  // the pipe's read end, until the server has it
    FileDescriptor to_server_;     // the pipe's write end, non-blocking
    FileDescriptor stop_;          // an eventfd: stop() was called
    std::thread thread_;
};

}  // namespace launcher::platform
