// Stop requests on Windows: the console-control handler. Ctrl-C and
// Ctrl-Break reach every process of the console, the server included, which
// decides itself how to stop; the launcher outlives them and relays what the
// server still prints.
#pragma once

namespace launcher::platform {

// Installs the handler. The console closing, logoff and shutdown reach the
// server too, and the system gives every process some seconds before it ends
// them; the launcher's own end would end the server at once (its job closes),
// so the handler holds those events until server_has_ended() was called.
void install_console_control_handler();

// Lets the held events take their course: the server has ended or will not
// be started.
void server_has_ended();

}  // namespace launcher::platform
