#include "runtime.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <optional>
#include <vector>

#include "handle.h"
#include "report.h"
#include "runtime_arguments.h"
#include "spawn.h"

namespace launcher::platform {

namespace {

// An environment variable; none when it is not set or cannot be read
// (`error` then holds the reason).
std::optional<std::wstring> environment_variable(const wchar_t* name, std::error_code& error) {
    std::vector<wchar_t> value(256);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableW(name, value.data(),
                                                     static_cast<DWORD>(value.size()));
        if (length == 0) {
            const DWORD code = GetLastError();
            if (code == ERROR_SUCCESS) {
                return std::wstring();
            }
            if (code != ERROR_ENVVAR_NOT_FOUND) {
                error = windows_error(code);
            }
            return std::nullopt;
        }
        if (length < value.size()) {
            return std::wstring(value.data(), length);
        }
        value.resize(length);
    }
}

// The parts of a ";"-separated list, each without the quotes that PATH
// entries may carry; empty parts are left out.
std::vector<std::wstring> list_entries(const std::wstring& list) {
    std::vector<std::wstring> entries;
    std::wstring entry;
    bool quoted = false;
    for (const wchar_t c : list + L";") {
        if (c == L'"') {
            quoted = !quoted;
        } else if (c == L';' && !quoted) {
            if (!entry.empty()) {
                entries.push_back(entry);
            }
            entry.clear();
        } else {
            entry += c;
        }
    }
    return entries;
}

bool is_file(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool ends_with_ignoring_case(const std::wstring& text, std::wstring_view end) {
    return text.size() >= end.size() &&
           std::equal(end.begin(), end.end(), text.end() - static_cast<std::ptrdiff_t>(end.size()),
                      [](wchar_t a, wchar_t b) { return std::towlower(a) == std::towlower(b); });
}

bool is_batch_file(const std::wstring& path) {
    return ends_with_ignoring_case(path, L".bat") || ends_with_ignoring_case(path, L".cmd");
}

// A file that cmd.exe starts as a program, with the command line it is given.
bool is_program(const std::wstring& path) {
    return ends_with_ignoring_case(path, L".exe") || ends_with_ignoring_case(path, L".com");
}

// Turns the WOW64 file system redirection off for this thread while it
// lives (a 32-bit process on 64-bit Windows then sees the native System32),
// and back on at its end.
class Wow64RedirectionOff {
public:
    Wow64RedirectionOff() {
        if (Wow64DisableWow64FsRedirection(&old_value_) == FALSE) {
            error_ = last_windows_error();
        }
    }
    Wow64RedirectionOff(const Wow64RedirectionOff&) = delete;
    Wow64RedirectionOff& operator=(const Wow64RedirectionOff&) = delete;
    Wow64RedirectionOff(Wow64RedirectionOff&&) = delete;
    Wow64RedirectionOff& operator=(Wow64RedirectionOff&&) = delete;
    ~Wow64RedirectionOff() {
        // Left off, every later file name of this thread would be read in the
        // native view, the DLLs that Windows loads for the launcher too.
        if (off() && Wow64RevertWow64FsRedirection(old_value_) == FALSE) {
            report("cannot turn the WOW64 file system redirection back on", last_windows_error());
        }
    }

    bool off() const { return !error_; }
    const std::error_code& error() const { return error_; }

private:
    PVOID old_value_ = nullptr;
    std::error_code error_;
};

bool is_high_surrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

bool is_low_surrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Whether the character at `i` is a surrogate pair: a lone surrogate is a
// character of its own, whatever follows it.
template <typename Text>
bool pair_at(const Text& text, std::size_t i) {
    return i + 1 < text.size() && is_high_surrogate(static_cast<char16_t>(text[i])) &&
           is_low_surrogate(static_cast<char16_t>(text[i + 1]));
}

// "U+00E9 U+1F600 U+D800".
std::string code_points(const std::vector<char32_t>& characters) {
    std::string text;
    for (const char32_t c : characters) {
        char name[16];
        std::snprintf(name, sizeof name, "%sU+%04X", text.empty() ? "" : " ",
                      static_cast<unsigned>(c));
        text += name;
    }
    return text;
}

// `text` in code page `code_page` without best fit; none when a character
// has no exact counterpart there. UTF-8 takes neither best fit nor a
// default character: a lone surrogate, which it cannot carry, fails the
// conversion there.
std::optional<std::string> to_code_page(std::wstring_view text, UINT code_page) {
    if (text.empty()) {
        return std::string();
    }
    const bool utf8 = code_page == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    const int length = static_cast<int>(text.size());
    BOOL used_default = FALSE;
    BOOL* const used_default_pointer = utf8 ? nullptr : &used_default;
    const int size = WideCharToMultiByte(code_page, flags, text.data(), length, nullptr, 0, nullptr,
                                         used_default_pointer);
    if (size <= 0 || used_default != FALSE) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (WideCharToMultiByte(code_page, flags, text.data(), length, bytes.data(), size, nullptr,
                            used_default_pointer) != size ||
        used_default != FALSE) {
        return std::nullopt;
    }
    return bytes;
}

std::wstring from_code_page(std::string_view bytes, UINT code_page) {
    if (bytes.empty()) {
        return {};
    }
    const int length = static_cast<int>(bytes.size());
    const int size = MultiByteToWideChar(code_page, 0, bytes.data(), length, nullptr, 0);
    std::wstring text(static_cast<std::size_t>(std::max(size, 0)), L'\0');
    if (size > 0) {
        MultiByteToWideChar(code_page, 0, bytes.data(), length, text.data(), size);
    }
    return text;
}

// Whether `text` comes back from code page `code_page` as it went.
bool round_trips(std::wstring_view text, UINT code_page) {
    const std::optional<std::string> bytes = to_code_page(text, code_page);
    return bytes && from_code_page(*bytes, code_page) == text;
}

// The characters of `word` that do not round-trip, each once, as code
// points: a lone surrogate as itself.
std::vector<char32_t> characters_lacking(const std::string& word, UINT code_page) {
    const std::wstring wide = to_wide(word);
    std::vector<char32_t> lacking;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        const bool pair = pair_at(wide, i);
        const std::wstring character = wide.substr(i, pair ? 2 : 1);
        char32_t code_point = wide[i];
        if (pair) {
            code_point = 0x10000 + ((code_point - 0xD800) << 10) + (wide[++i] - 0xDC00);
        }
        if (!round_trips(character, code_page) &&
            std::find(lacking.begin(), lacking.end(), code_point) == lacking.end()) {
            lacking.push_back(code_point);
        }
    }
    return lacking;
}

LeadBytes lead_bytes_of(UINT code_page) {
    LeadBytes lead{};
    if (code_page == CP_UTF8) {
        return lead;
    }
    for (std::size_t byte = 0x80; byte < lead.size(); ++byte) {
        lead[byte] = IsDBCSLeadByteEx(code_page, static_cast<BYTE>(byte)) != FALSE;
    }
    return lead;
}

// Where the server's own arguments start: after "-jar server.jar".
std::size_t first_server_argument(const std::vector<std::string>& words) {
    const auto jar = std::find(words.begin(), words.end(), "-jar");
    return jar == words.end() ? words.size() : static_cast<std::size_t>(jar - words.begin()) + 2;
}

// Why java is taken for a batch file, for a refusal.
std::string batch_file_reason(const JavaSearch& search) {
    if (is_batch_file(search.path)) {
        return "which the batch file " + to_utf8(search.path) +
               " cannot pass on to the Java runtime unchanged";
    }
    return "which a batch file cannot pass on to the Java runtime unchanged, and java is taken "
           "for one, as cmd.exe's search for it cannot be followed for sure: " +
           search.unsure;
}

std::string position(std::size_t index, std::size_t first_server) {
    if (index >= first_server) {
        return "server argument " + std::to_string(index - first_server + 1);
    }
    return "word " + std::to_string(index + 1) + " of the server command";
}

}  // namespace

JavaSearch find_java() {
    JavaSearch search;
    // The first reason found is given.
    const auto unsure = [&search](std::string reason) {
        if (search.unsure.empty()) {
            search.unsure = std::move(reason);
        }
    };
    // cmd.exe looks in the current folder first. NoDefaultCurrentDirectoryInExePath
    // tells programs that ask (NeedCurrentDirectoryForExePath) not to, but
    // cmd.exe need not honour it: the folder is searched all the same, and a
    // java found there may be one that cmd.exe skips.
    const bool may_skip_current_folder = NeedCurrentDirectoryForExePathW(L"java") == FALSE;
    std::vector<std::wstring> folders{L"."};
    std::error_code path_error;
    const std::optional<std::wstring> path = environment_variable(L"PATH", path_error);
    if (path_error) {
        unsure("PATH cannot be read (" + path_error.message() + ")");
    }
    for (std::wstring& folder : list_entries(path.value_or(L""))) {
        folders.push_back(std::move(folder));
    }
    // Without extensions, cmd.exe takes its default list.
    const std::wstring default_extensions = L".COM;.EXE;.BAT;.CMD";
    std::error_code pathext_error;
    const std::optional<std::wstring> pathext = environment_variable(L"PATHEXT", pathext_error);
    std::vector<std::wstring> extensions = list_entries(pathext.value_or(default_extensions));
    if (pathext_error) {
        unsure("PATHEXT cannot be read (" + pathext_error.message() + ")");
    } else if (extensions.empty()) {
        unsure("PATHEXT is empty");
    }
    if (extensions.empty()) {
        extensions = list_entries(default_extensions);
    }

    // Under WOW64 the native cmd.exe sees the native System32 where this
    // process sees SysWOW64: the search looks with the redirection off, and
    // turns it back on before anything else runs on this thread.
    std::optional<Wow64RedirectionOff> redirection_off;
    if (command_processor().native_view) {
        redirection_off.emplace();
        if (!redirection_off->off()) {
            unsure("the WOW64 file system redirection cannot be turned off for the search (" +
                   redirection_off->error().message() + ")");
        }
    }
    for (const std::wstring& folder : folders) {
        const bool separated = folder.ends_with(L'\\') || folder.ends_with(L'/');
        for (const std::wstring& extension : extensions) {
            std::wstring file = folder;
            file += separated ? L"" : L"\\";
            file += L"java";
            file += extension;
            if (is_file(file)) {
                if (may_skip_current_folder && &folder == &folders.front()) {
                    unsure(
                        "java was found in the current folder, which cmd.exe may skip, as "
                        "NoDefaultCurrentDirectoryInExePath is set");
                }
                search.path = std::move(file);
                if (!is_program(search.path) && !is_batch_file(search.path)) {
                    unsure("cmd.exe hands " + to_utf8(search.path) +
                           " to the program associated with its type");
                }
                return search;
            }
        }
    }
    return search;
}

const JavaSearch& java_search() {
    static const JavaSearch search = find_java();
    return search;
}

bool java_is_batch_file() {
    const JavaSearch& search = java_search();
    return is_batch_file(search.path) || !search.unsure.empty();
}

bool runtime_receives_exactly(const std::string& command_text) {
    // What cmd.exe passes on, split as the runtime splits it in UTF-16: the
    // arguments as meant.
    const std::string passed_on = remove_cmd_escapes(command_text);
    const std::vector<std::string> words = split_runtime_command_line(passed_on, LeadBytes{});
    const std::size_t first_server = first_server_argument(words);

    if (java_is_batch_file()) {
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (words[i].find_first_of("\"%") != std::string::npos) {
                report(position(i, first_server) + " holds a double quote or a percent sign, " +
                       batch_file_reason(java_search()) +
                       ": cmd.exe reads a batch file's arguments a second time, as commands and "
                       "variables; the server is not started");
                return false;
            }
        }
    }

    const UINT code_page = GetACP();
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::vector<char32_t> lacking = characters_lacking(words[i], code_page);
        if (!lacking.empty()) {
            report(position(i, first_server) + " holds characters that the ANSI code page " +
                   std::to_string(code_page) + " lacks (" + code_points(lacking) +
                   "); the Java runtime receives its arguments in that code page, where they "
                   "would arrive changed or split; the server is not started");
            return false;
        }
    }
    // Every character has its counterpart: the ANSI command line, split as
    // the runtime's launcher splits it, must give the same arguments.
    const std::optional<std::string> ansi = to_code_page(to_wide(passed_on), code_page);
    std::vector<std::string> received;
    if (ansi) {
        for (const std::string& argument :
             split_runtime_command_line(*ansi, lead_bytes_of(code_page))) {
            received.push_back(to_utf8(from_code_page(argument, code_page)));
        }
    }
    if (received != words) {
        report("the server command would reach the Java runtime changed in the ANSI code page " +
               std::to_string(code_page) + "; the server is not started");
        return false;
    }
    return true;
}

}  // namespace launcher::platform
