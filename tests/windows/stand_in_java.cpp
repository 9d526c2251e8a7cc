// Stands in for the Java runtime in the end-to-end tests of the Windows
// launcher: built as java.exe and put first on the PATH that cmd.exe
// searches. It records what it received and does what the test asks through
// its environment.
//
//   stand-in-record.txt  written to the current folder: "line <hex>" (the
//                        wide command line as the process got it, in UTF-8),
//                        "arg <hex>" for each argument after the program's
//                        name as CommandLineToArgvW split them (UTF-8), then
//                        "SteamAppId <hex>" or "SteamAppId unset", and
//                        "acp <n>", the ANSI code page it ran with. Then
//                        "aline <hex>", the ANSI command line (what the Java
//                        runtime's launcher reads) and "aarg <hex>" for each
//                        argument after the name as the C runtime splits it,
//                        double-byte aware, both converted to UTF-8; and
//                        "inherited yes" or "inherited no" when
//                        STAND_IN_INHERITED names a handle value.
//   --start-launcher EXE ARG...
//                        instead of all that: plays the panel that starts the
//                        launcher EXE with an inheritable handle of its own,
//                        named in STAND_IN_INHERITED, and exits with its
//                        status. With STAND_IN_UTF16_HEX set, each ARG is
//                        hex UTF-16 code units, 4 digits each, so that a test
//                        can give what no Unix command line carries (a lone
//                        surrogate). STAND_IN_EMPTY names a variable that
//                        the launcher gets set to an empty value (which a
//                        Unix environment does not pass on to wine).
//   STAND_IN_BREAKAWAY   starts a copy of itself outside the job
//                        (CREATE_BREAKAWAY_FROM_JOB) that keeps the output
//                        open for that many seconds, writing "holder ends"
//                        before it ends.
//   STAND_IN_DESCENDANT  the same, inside the job: a process of the server
//                        that outlives it.
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
//   STAND_IN_LINGER      runs that many seconds before it exits, writing the
//                        time it has run, in tenths of a second, to
//                        stand-in-alive.txt every tenth of a second, so that
//                        a test can see whether it still runs.
//   STAND_IN_EXIT        the exit code; 0 without it.
#include <windows.h>

#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
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

// The system's own conversion, independent of the launcher's.
std::string to_utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.resize(utf8.size() - 1);  // the NUL
    return utf8;
}

// The ANSI command line split as the C runtime splits it, each character
// stepped with the system's CharNextExA, so that the second byte of a
// double-byte character is never taken for a quote or a backslash.
std::vector<std::string> split_ansi(const char* line) {
    const auto next = [](const char* p) { return CharNextExA(CP_ACP, p, 0); };
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    std::vector<std::string> arguments;
    const char* p = line;
    // The program's name: up to the next blank, quotes only grouping.
    bool quoted = false;
    while (*p != '\0' && (quoted || !blank(*p))) {
        quoted = *p == '"' ? !quoted : quoted;
        p = next(p);
    }
    for (;;) {
        while (blank(*p)) {
            ++p;
        }
        if (*p == '\0') {
            return arguments;
        }
        std::string argument;
        quoted = false;
        while (*p != '\0' && (quoted || !blank(*p))) {
            std::size_t backslashes = 0;
            for (; *p == '\\'; ++p) {
                ++backslashes;
            }
            if (*p == '"') {
                argument.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) {
                    argument += '"';
                } else if (quoted && p[1] == '"') {
                    argument += '"';
                    ++p;
                } else {
                    quoted = !quoted;
                }
                ++p;
            } else if (backslashes > 0) {
                argument.append(backslashes, '\\');
            } else {
                const char* after = next(p);
                argument.append(p, after);
                p = after;
            }
        }
        arguments.push_back(argument);
    }
}

std::string ansi_to_utf8(const std::string& ansi) {
    const int size = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide.data(), size);
    return to_utf8(wide.c_str());
}

void record_ansi(FILE* file) {
    const char* line = GetCommandLineA();
    std::fprintf(file, "aline %s\n", to_hex(ansi_to_utf8(line)).c_str());
    for (const std::string& argument : split_ansi(line)) {
        std::fprintf(file, "aarg %s\n", to_hex(ansi_to_utf8(argument)).c_str());
    }
    if (const char* value = std::getenv("STAND_IN_INHERITED")) {
        // The panel's handle is an event it left set: open here only if the
        // launcher passed it on.
        const auto handle = reinterpret_cast<HANDLE>(std::strtoull(value, nullptr, 10));
        DWORD flags = 0;
        const bool open = GetHandleInformation(handle, &flags) != FALSE &&
                          WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
        std::fprintf(file, "inherited %s\n", open ? "yes" : "no");
    }
}

// The panel: an inheritable handle, then the launcher, which may pass it on.
// "d800" -> L"\xD800": the UTF-16 code units of 4 hex digits each.
std::wstring from_utf16_hex(std::wstring_view hex) {
    std::wstring text;
    for (std::size_t i = 0; i + 4 <= hex.size(); i += 4) {
        text += static_cast<wchar_t>(
            std::wcstoul(std::wstring(hex.substr(i, 4)).c_str(), nullptr, 16));
    }
    return text;
}

int start_launcher(int argc, wchar_t** argv) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE event = CreateEventW(&inheritable, TRUE, TRUE, nullptr);
    if (event == nullptr) {
        std::fprintf(stderr, "stand-in panel: CreateEventW failed (error %lu)\n", GetLastError());
        return 100;
    }
    SetEnvironmentVariableW(L"STAND_IN_INHERITED",
                            std::to_wstring(reinterpret_cast<std::uintptr_t>(event)).c_str());
    std::wstring line = L"\"" + std::wstring(argv[2]) + L"\"";
    if (const char* empty = std::getenv("STAND_IN_EMPTY")) {
        SetEnvironmentVariableW(std::wstring(empty, empty + std::strlen(empty)).c_str(), L"");
    }
    const bool hex = std::getenv("STAND_IN_UTF16_HEX") != nullptr;
    for (int i = 3; i < argc; ++i) {
        line += L" " + (hex ? from_utf16_hex(argv[i]) : std::wstring(argv[i]));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(argv[2], line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &process) == FALSE) {
        std::fprintf(stderr, "stand-in panel: CreateProcessW failed (error %lu)\n", GetLastError());
        return 100;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 100;
    GetExitCodeProcess(process.hProcess, &status);
    return static_cast<int>(status);
}

// A process that holds the server's output open, outside the job or in it.
void start_holder(const char* seconds, DWORD flags) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\"";
    SetEnvironmentVariableW(L"STAND_IN_BREAKAWAY", nullptr);
    SetEnvironmentVariableW(L"STAND_IN_DESCENDANT", nullptr);
    SetEnvironmentVariableW(L"STAND_IN_OUTPUT", nullptr);
    SetEnvironmentVariableW(L"STAND_IN_HOLDER",
                            std::wstring(seconds, seconds + std::strlen(seconds)).c_str());
    // It holds the output alone: the launcher's standard error, which the
    // test reads to its end, stays out of it (wine passes the Unix
    // descriptor behind it on all the same).
    SetHandleInformation(GetStdHandle(STD_INPUT_HANDLE), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(GetStdHandle(STD_ERROR_HANDLE), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_OUTPUT_HANDLE);
    PROCESS_INFORMATION process{};
    if (CreateProcessW(self, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup,
                       &process) == FALSE) {
        std::fprintf(stderr, "stand-in java: cannot start the holder (error %lu)\n",
                     GetLastError());
        std::exit(100);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

void record() {
    FILE* file = std::fopen("stand-in-record.txt", "wb");
    if (file == nullptr) {
        const int error = errno;
        wchar_t folder[MAX_PATH] = L"?";
        GetCurrentDirectoryW(MAX_PATH, folder);
        std::fprintf(stderr, "stand-in java: %s\\stand-in-record.txt: %s\n",
                     to_utf8(folder).c_str(), std::strerror(error));
        std::exit(100);
    }
    const wchar_t* line = GetCommandLineW();
    std::fprintf(file, "line %s\n", to_hex(to_utf8(line)).c_str());
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(line, &count);
    if (arguments == nullptr) {
        std::fprintf(stderr, "stand-in java: CommandLineToArgvW failed (error %lu)\n",
                     GetLastError());
        std::exit(100);
    }
    for (int i = 1; i < count; ++i) {
        std::fprintf(file, "arg %s\n", to_hex(to_utf8(arguments[i])).c_str());
    }
    LocalFree(arguments);
    const wchar_t* app_id = _wgetenv(L"SteamAppId");
    std::fprintf(file, "SteamAppId %s\n",
                 app_id != nullptr ? to_hex(to_utf8(app_id)).c_str() : "unset");
    std::fprintf(file, "acp %u\n", GetACP());
    record_ansi(file);
    std::fclose(file);
}

void keep_running(int seconds) {
    for (int tenths = 0; tenths < 10 * seconds; ++tenths) {
        if (FILE* file = std::fopen("stand-in-alive.txt", "wb")) {
            std::fprintf(file, "%d\n", tenths);
            std::fclose(file);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv != nullptr && argc >= 3 && std::wstring_view(argv[1]) == L"--start-launcher") {
        return start_launcher(argc, argv);
    }
    if (const char* seconds = std::getenv("STAND_IN_HOLDER")) {
        std::this_thread::sleep_for(std::chrono::seconds(std::atoi(seconds)));
        write_all(1, "holder ends\n");
        return 0;
    }
    record();
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
    if (const char* seconds = std::getenv("STAND_IN_BREAKAWAY")) {
        start_holder(seconds, CREATE_BREAKAWAY_FROM_JOB);
    }
    if (const char* seconds = std::getenv("STAND_IN_DESCENDANT")) {
        start_holder(seconds, 0);
    }
    if (const char* seconds = std::getenv("STAND_IN_LINGER")) {
        keep_running(std::atoi(seconds));
    }
    const char* exit_code = std::getenv("STAND_IN_EXIT");
    return exit_code != nullptr ? std::atoi(exit_code) : 0;
}
