#include "spawn.h"

#include <atomic>
#include <vector>

#include "exit_status.h"
#include "job.h"
#include "report.h"

namespace launcher::platform {

namespace {

// What the server can write before the relay has read it.
constexpr DWORD pipe_buffer_size = 64 * 1024;

// The command that cmd.exe gets after /c: the text in quotes, which /s
// strips again. The quotes count towards cmd's limit.
std::wstring cmd_command(const std::string& command_text) {
    return L"\"" + to_wide(command_text) + L"\"";
}

// A folder that a Windows function writes into a buffer of the size given.
template <typename Function>
bool system_folder(Function get, std::wstring& folder, std::error_code& error) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const UINT length = get(buffer.data(), static_cast<UINT>(buffer.size()));
        if (length == 0) {
            error = last_windows_error();
            return false;
        }
        if (length < buffer.size()) {
            folder.assign(buffer.data(), length);
            return true;
        }
        buffer.resize(length);
    }
}

// A 32-bit launcher on 64-bit Windows sees the 32-bit system folder under
// the name System32; the native one is reachable as Sysnative, which only
// such a process sees.
bool native_cmd_under_wow64(std::wstring& path) {
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) == FALSE) {
        report(
            "cannot tell whether the launcher runs under WOW64; the command processor of "
            "System32 is used",
            last_windows_error());
        return false;
    }
    std::wstring windows;
    std::error_code error;
    if (wow64 == FALSE || !system_folder(GetSystemWindowsDirectoryW, windows, error)) {
        return false;
    }
    std::wstring native = windows + L"\\Sysnative\\cmd.exe";
    if (GetFileAttributesW(native.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    path = std::move(native);
    return true;
}

CommandProcessor find_command_processor() {
    CommandProcessor found;
    if (native_cmd_under_wow64(found.path)) {
        found.native_view = true;
    } else if (system_folder(GetSystemDirectoryW, found.path, found.error)) {
        found.path += L"\\cmd.exe";
    }
    return found;
}

// Before Windows 8 a console handle is no kernel handle (its low two bits
// are set), which a handle list refuses; the child reaches the console
// without it.
bool is_legacy_console_handle(HANDLE handle) {
    return (reinterpret_cast<ULONG_PTR>(handle) & 3) == 3;
}

// The attribute list that limits what the command processor inherits to the
// handles named in it (Vista and later).
class InheritedHandles {
public:
    InheritedHandles() = default;
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;
    InheritedHandles(InheritedHandles&&) = delete;
    InheritedHandles& operator=(InheritedHandles&&) = delete;
    ~InheritedHandles() {
        if (initialised_) {
            DeleteProcThreadAttributeList(list());
        }
    }

    // `handles` must stay alive until the process has been created.
    bool set(std::vector<HANDLE>& handles, std::error_code& error) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        if (InitializeProcThreadAttributeList(list(), 1, 0, &size) == FALSE) {
            error = last_windows_error();
            return false;
        }
        initialised_ = true;
        if (UpdateProcThreadAttribute(list(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                      handles.size() * sizeof(HANDLE), nullptr, nullptr) == FALSE) {
            error = last_windows_error();
            return false;
        }
        return true;
    }

    LPPROC_THREAD_ATTRIBUTE_LIST list() {
        return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    }

private:
    std::vector<unsigned char> storage_;
    bool initialised_ = false;
};

// The server's standard output: a pipe whose read end the launcher reads
// with overlapped I/O, so that the relay can stop waiting when the server's
// job is done, and whose write end, plain and inheritable, only the command
// processor gets. An anonymous pipe (CreatePipe) cannot be read overlapped;
// this is a named one of a name no other process guesses first (the
// launcher's process id and a counter), for this machine's processes only.
bool create_output_pipe(UniqueHandle& read_end, UniqueHandle& write_end, std::error_code& error) {
    static std::atomic<unsigned> serial = 0;
    const std::wstring name = L"\\\\.\\pipe\\launcher-output-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(serial++);
    read_end.reset(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
        pipe_buffer_size, 0, nullptr));
    if (!read_end.valid()) {
        error = last_windows_error();
        return false;
    }
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof inheritable;
    inheritable.bInheritHandle = TRUE;
    write_end.reset(CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, &inheritable,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!write_end.valid()) {
        error = last_windows_error();
        return false;
    }
    return true;
}

// An inheritable duplicate of one of the launcher's standard handles, for
// the command processor; none when the launcher has none.
UniqueHandle inheritable_standard_handle(DWORD which) {
    std::error_code error;
    HANDLE original = standard_handle(which, error);
    if (error) {
        return {};
    }
    HANDLE duplicate = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &duplicate, 0, TRUE,
                        DUPLICATE_SAME_ACCESS) == FALSE) {
        report("cannot pass a standard handle on to the server", last_windows_error());
        return {};
    }
    return UniqueHandle(duplicate);
}

StartedServer not_started(int status) {
    StartedServer started;
    started.status = status;
    return started;
}

StartedServer start_failure(const std::error_code& error) {
    report(cannot_start_command_processor, error);
    const auto code = static_cast<DWORD>(error.value());
    return not_started(code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                           ? command_processor_missing
                           : launcher_failure);
}

}  // namespace

const CommandProcessor& command_processor() {
    static const CommandProcessor found = find_command_processor();
    return found;
}

StartedServer start_server(const std::string& command_text) {
    const std::wstring command = cmd_command(command_text);
    if (command.size() > cmd_line_limit) {
        report("the server command is " + std::to_string(command.size()) +
               " characters long for the command processor, which takes at most " +
               std::to_string(cmd_line_limit) + "; the server is not started");
        return not_started(launcher_failure);
    }
    const CommandProcessor& processor = command_processor();
    if (processor.path.empty()) {
        return start_failure(processor.error);
    }
    const std::wstring& application = processor.path;
    std::error_code error;
    std::wstring command_line = L"\"" + application + L"\" /d /v:off /s /c " + command;

    StartedServer started;
    UniqueHandle output_writer;
    if (!create_output_pipe(started.output, output_writer, error)) {
        report("cannot create the pipe for the server's output", error);
        return not_started(launcher_failure);
    }
    HANDLE write_end = output_writer.get();

    const UniqueHandle input = inheritable_standard_handle(STD_INPUT_HANDLE);
    const UniqueHandle errors = inheritable_standard_handle(STD_ERROR_HANDLE);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = write_end;
    startup.StartupInfo.hStdError = errors.get();

    // Only these three are inherited: whatever else the launcher was given
    // as inheritable (by a panel, a service wrapper) stays out of the server.
    std::vector<HANDLE> inherited = {write_end};
    for (const UniqueHandle* handle : {&input, &errors}) {
        if (handle->valid() && !is_legacy_console_handle(handle->get())) {
            inherited.push_back(handle->get());
        }
    }
    InheritedHandles attributes;
    if (!attributes.set(inherited, error)) {
        report("cannot limit the handles the server inherits", error);
        return not_started(launcher_failure);
    }
    startup.lpAttributeList = attributes.list();

    // Suspended, so that it is in the job before it runs a single
    // instruction, and so is everything it starts.
    PROCESS_INFORMATION information{};
    if (CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                       CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                       &startup.StartupInfo, &information) == FALSE) {
        return start_failure(last_windows_error());
    }
    started.process.reset(information.hProcess);
    const UniqueHandle thread(information.hThread);

    started.job = create_kill_on_close_job(error);
    join_job(started.job, started.process.get(), error);

    if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        report(cannot_start_command_processor, last_windows_error());
        if (TerminateProcess(started.process.get(), launcher_failure) == FALSE) {
            report("cannot end the suspended command processor", last_windows_error());
        }
        return not_started(launcher_failure);
    }
    // The launcher's copy of the write end (output_writer) closes here: it
    // would keep the pipe open after the server ended.
    return started;
}

}  // namespace launcher::platform
