#include "relay.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "job.h"
#include "line_ends.h"
#include "report.h"

namespace launcher::platform {

namespace {

constexpr DWORD relay_chunk_size = 64 * 1024;

// How often the job is asked whether anything of it still runs, once the
// command processor has ended.
constexpr DWORD job_poll_milliseconds = 100;

// Where the server's output stands.
class OutputWatch {
public:
    OutputWatch(HANDLE from, HANDLE server, HANDLE job) : from_(from), server_(server), job_(job) {}

    // Reads the next piece into `buffer`; false at the end of the output.
    bool read(std::vector<char>& buffer, DWORD& got);

    bool valid() const { return event_.valid(); }

private:
    bool job_is_done() const {
        const std::optional<JobCounts> counts = job_counts(job_);
        return counts && counts->active == 0;
    }
    bool end_of_output(DWORD error) const;
    bool wait_for(OVERLAPPED& overlapped);

    HANDLE from_;
    HANDLE server_;
    HANDLE job_;
    UniqueHandle event_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    bool server_ended_ = false;
    // The job is done: only what the pipe holds now is still relayed.
    bool draining_ = false;
};

bool OutputWatch::end_of_output(DWORD error) const {
    // ERROR_BROKEN_PIPE: every writer is gone. ERROR_OPERATION_ABORTED: the
    // read was cancelled because the job is done.
    if (error != ERROR_BROKEN_PIPE && error != ERROR_OPERATION_ABORTED) {
        report(cannot_read_output, windows_error(error));
    }
    return false;
}

// Waits until the read of `overlapped` has completed, or the job is done and
// the read was cancelled; false when waiting failed.
bool OutputWatch::wait_for(OVERLAPPED& overlapped) {
    for (;;) {
        const HANDLE handles[] = {event_.get(), server_};
        const bool watch_server = !server_ended_ && !draining_;
        const bool watch_job = server_ended_ && !draining_ && job_ != nullptr;
        const DWORD woke = WaitForMultipleObjects(watch_server ? 2 : 1, handles, FALSE,
                                                  watch_job ? job_poll_milliseconds : INFINITE);
        if (woke == WAIT_OBJECT_0) {
            return true;
        }
        if (woke == WAIT_OBJECT_0 + 1) {
            server_ended_ = true;
        } else if (woke == WAIT_TIMEOUT) {
            if (job_is_done()) {
                draining_ = true;
                // The read completes now, with what it had or cancelled.
                if (CancelIoEx(from_, &overlapped) == FALSE && GetLastError() != ERROR_NOT_FOUND) {
                    report(cannot_read_output, last_windows_error());
                }
            }
        } else {
            report(cannot_read_output, last_windows_error());
            CancelIoEx(from_, &overlapped);
            DWORD ignored = 0;
            GetOverlappedResult(from_, &overlapped, &ignored, TRUE);
            return false;
        }
    }
}

bool OutputWatch::read(std::vector<char>& buffer, DWORD& got) {
    got = 0;
    if (draining_) {
        DWORD available = 0;
        if (PeekNamedPipe(from_, nullptr, 0, nullptr, &available, nullptr) == FALSE) {
            return end_of_output(GetLastError());
        }
        if (available == 0) {
            return false;
        }
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_.get();
    if (ReadFile(from_, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped) ==
            FALSE &&
        GetLastError() != ERROR_IO_PENDING) {
        return end_of_output(GetLastError());
    }
    if (!wait_for(overlapped)) {
        return false;
    }
    if (GetOverlappedResult(from_, &overlapped, &got, FALSE) == FALSE) {
        const DWORD error = GetLastError();
        // A read cancelled while draining: what the pipe holds is read next.
        return error == ERROR_OPERATION_ABORTED && draining_ ? true : end_of_output(error);
    }
    return true;
}

}  // namespace

std::error_code write_all(HANDLE file, std::string_view bytes) {
    if (file == nullptr) {
        return windows_error(ERROR_INVALID_HANDLE);
    }
    while (!bytes.empty()) {
        const auto count = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAXDWORD));
        DWORD written = 0;
        if (WriteFile(file, bytes.data(), count, &written, nullptr) == FALSE) {
            return last_windows_error();
        }
        if (written == 0) {
            return std::make_error_code(std::errc::io_error);
        }
        bytes.remove_prefix(written);
    }
    return {};
}

void relay(HANDLE from, HANDLE to, HANDLE server, HANDLE job) {
    OutputWatch output(from, server, job);
    if (!output.valid()) {
        report(cannot_read_output, last_windows_error());
        return;
    }
    std::vector<char> buffer(relay_chunk_size);
    std::string translated;
    translated.reserve(2 * buffer.size());
    LineEndTranslator line_ends;
    bool writing = true;
    DWORD got = 0;
    while (output.read(buffer, got)) {
        if (got == 0 || !writing) {
            continue;
        }
        translated.clear();
        line_ends.translate(std::string_view(buffer.data(), got), translated);
        if (const std::error_code error = write_all(to, translated)) {
            report("cannot write to standard output; the server's further output is dropped",
                   error);
            writing = false;
        }
    }
}

}  // namespace launcher::platform
