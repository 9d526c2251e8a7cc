#include "signals.h"

#include "handle.h"
#include "report.h"

namespace launcher::platform {

namespace {

// Signalled once the server has ended or will not be started; made before
// the handler is installed.
UniqueHandle server_ended;  // NOLINT(cert-err58-cpp): constructing it cannot throw

// Runs on a thread of its own, made by the system for each event.
BOOL WINAPI on_console_control(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        return TRUE;
    }
    // Should the wait fail, the event takes its course at once: there is
    // nothing better to do, and no one to tell.
    if (server_ended.valid()) {
        static_cast<void>(WaitForSingleObject(server_ended.get(), INFINITE));
    }
    return FALSE;
}

}  // namespace

void install_console_control_handler() {
    server_ended.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!server_ended.valid()) {
        report("cannot create an event; closing the console may cut the server's shutdown short",
               last_windows_error());
    }
    if (SetConsoleCtrlHandler(on_console_control, TRUE) == FALSE) {
        report("cannot install the console-control handler; Ctrl-C ends the launcher too",
               last_windows_error());
    }
}

void server_has_ended() {
    if (server_ended.valid() && SetEvent(server_ended.get()) == FALSE) {
        report("cannot signal the server's end to the console-control handler",
               last_windows_error());
    }
}

}  // namespace launcher::platform
