// The launcher's own lines on standard output, on POSIX systems: the UTF-8
// bytes as they are.
#include <unistd.h>

#include <cerrno>

#include "platform.h"

namespace launcher::platform {

std::error_code write_output(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = write(STDOUT_FILENO, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {errno, std::generic_category()};
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

}  // namespace launcher::platform
