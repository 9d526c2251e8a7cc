// The launcher's own arguments on Windows: read from the wide command line,
// so that every character arrives, whatever the ANSI code page holds.
#include "handle.h"

#include <shellapi.h>

#include "platform.h"
#include "report.h"

namespace launcher::platform {

namespace {

// CommandLineToArgvW's array, which LocalFree releases.
class ArgumentArray {
public:
    explicit ArgumentArray(wchar_t** arguments) : arguments_(arguments) {}
    ArgumentArray(const ArgumentArray&) = delete;
    ArgumentArray& operator=(const ArgumentArray&) = delete;
    ArgumentArray(ArgumentArray&&) = delete;
    ArgumentArray& operator=(ArgumentArray&&) = delete;
    ~ArgumentArray() {
        if (arguments_ != nullptr) {
            LocalFree(arguments_);
        }
    }

    wchar_t** get() const { return arguments_; }

private:
    wchar_t** arguments_;
};

}  // namespace

std::vector<std::string> command_line_arguments(int argc, char** argv) {
    int count = 0;
    const ArgumentArray wide(CommandLineToArgvW(GetCommandLineW(), &count));
    if (wide.get() == nullptr) {
        report("cannot split the wide command line; arguments are taken in the ANSI code page",
               last_windows_error());
        return {argv, argv + argc};
    }
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        arguments.push_back(to_utf8(wide.get()[i]));
    }
    return arguments;
}

}  // namespace launcher::platform
