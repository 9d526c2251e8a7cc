// The launcher's own arguments on POSIX systems: the bytes as the system
// passed them.
#include "platform.h"

namespace launcher::platform {

std::vector<std::string> command_line_arguments(int argc, char** argv) {
    return {argv, argv + argc};
}

}  // namespace launcher::platform
