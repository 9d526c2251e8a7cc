#include "relay.h"

#include <algorithm>
#include <string>
#include <vector>

#include "line_ends.h"
#include "report.h"

namespace launcher::platform {

namespace {

constexpr DWORD relay_chunk_size = 64 * 1024;

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

void relay(HANDLE from, HANDLE to) {
    std::vector<char> buffer(relay_chunk_size);
    std::string translated;
    translated.reserve(2 * buffer.size());
    LineEndTranslator line_ends;
    bool writing = true;
    for (;;) {
        DWORD got = 0;
        if (ReadFile(from, buffer.data(), relay_chunk_size, &got, nullptr) == FALSE) {
            const DWORD error = GetLastError();
            if (error != ERROR_BROKEN_PIPE) {  // the end: every writer is gone
                report(cannot_read_output, windows_error(error));
            }
            return;
        }
        if (got == 0 || !writing) {
            continue;
        }
        translated.clear();
        line_ends.translate(std::string_view(buffer.data(), got), translated);
        if (const std::error_code error = write_all(to, translated)) {
            report(cannot_write_output, error);
            writing = false;
        }
    }
}

}  // namespace launcher::platform
