// Stands in for the Java runtime in the end-to-end tests of the Windows
// launcher: built as java.exe and put first on the PATH that cmd.exe
// searches. It records what it received and does what the test asks through
// its environment.
//
//   stand-in-record.txt  written to the current folder: "line <hex>" (the
//                        command line as the process got it), "arg <hex>"
//                        for each argument after the program's name as the C
//                        runtime split them, then "SteamAppId <hex>" or
//                        "SteamAppId unset".
//   STAND_IN_OUTPUT      hex bytes to write to standard output. A "." starts
//                        a new piece, written after a pause, so that the
//                        pieces reach the launcher in separate reads.
//   STAND_IN_ERROR       hex bytes to write to standard error.
//   STAND_IN_FLOOD       that many bytes of filler lines to write to standard
//                        output; when the pipe refuses them (its reader
//                        closed it), exit at once with code 99.
//   STAND_IN_CTRL_C      sends Ctrl-C to every process on the console (the
//                        launcher, cmd.exe and itself), waits until its own
//                        handler has seen it and writes "ctrl-c handled".
//   STAND_IN_EXIT        the exit code; 0 without it.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

volatile LONG ctrl_c_events = 0;

BOOL WINAPI on_console_control(DWORD event) {
    if (event == CTRL_C_EVENT) {
        InterlockedIncrement(&ctrl_c_events);
        return TRUE;
    }
    return FALSE;
}

void send_ctrl_c() {
    if (SetConsoleCtrlHandler(on_console_control, TRUE) == FALSE ||
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) == FALSE) {
        std::fprintf(stderr, "stand-in java: cannot send Ctrl-C (error %lu)\n", GetLastError());
        std::exit(100);
    }
    // The handler runs on a thread of its own.
    for (int waited = 0; ctrl_c_events == 0; waited += 10) {
        if (waited > 5000) {
            std::fprintf(stderr, "stand-in java: Ctrl-C did not arrive\n");
            std::exit(100);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Time for the other processes' handlers too.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

std::string to_hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0f];
    }
    return hex;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    std::fprintf(stderr, "stand-in java: bad hex digit '%c'\n", c);
    std::exit(100);
}

// The pieces of a "."-separated hex text.
std::vector<std::string> from_hex(std::string_view hex) {
    std::vector<std::string> pieces(1);
    for (std::size_t i = 0; i < hex.size(); ++i) {
        if (hex[i] == '.') {
            pieces.emplace_back();
            continue;
        }
        if (i + 1 == hex.size()) {
            std::fprintf(stderr, "stand-in java: odd number of hex digits\n");
            std::exit(100);
        }
        pieces.back() += static_cast<char>(hex_digit(hex[i]) * 16 + hex_digit(hex[i + 1]));
        ++i;
    }
    return pieces;
}

// Writes everything; false once the descriptor takes no more.
bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const int written = _write(fd, data.data(), static_cast<unsigned int>(data.size()));
        if (written <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

void record(int argc, char** argv) {
    FILE* file = std::fopen("stand-in-record.txt", "wb");
    if (file == nullptr) {
        std::perror("stand-in java: stand-in-record.txt");
        std::exit(100);
    }
    std::fprintf(file, "line %s\n", to_hex(GetCommandLineA()).c_str());
    for (int i = 1; i < argc; ++i) {
        std::fprintf(file, "arg %s\n", to_hex(argv[i]).c_str());
    }
    const char* app_id = std::getenv("SteamAppId");
    std::fprintf(file, "SteamAppId %s\n", app_id != nullptr ? to_hex(app_id).c_str() : "unset");
    std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
    record(argc, argv);
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);

    if (std::getenv("STAND_IN_CTRL_C") != nullptr) {
        send_ctrl_c();
        write_all(1, "ctrl-c handled\n");
    }
    if (const char* error = std::getenv("STAND_IN_ERROR")) {
        for (const std::string& piece : from_hex(error)) {
            write_all(2, piece);
        }
    }
    if (const char* output = std::getenv("STAND_IN_OUTPUT")) {
        bool first = true;
        for (const std::string& piece : from_hex(output)) {
            if (!first) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            }
            first = false;
            write_all(1, piece);
        }
    }
    if (const char* flood = std::getenv("STAND_IN_FLOOD")) {
        const std::string line(63, 'f');
        for (long left = std::atol(flood); left > 0; left -= 64) {
            if (!write_all(1, line + "\n")) {
                std::fprintf(stderr, "stand-in java: standard output refused\n");
                return 99;
            }
        }
    }
    const char* exit_code = std::getenv("STAND_IN_EXIT");
    return exit_code != nullptr ? std::atoi(exit_code) : 0;
}
