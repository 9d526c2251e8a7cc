#include "runtime.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <optional>
#include <vector>

#include "handle.h"
#include "report.h"
#include "runtime_arguments.h"

namespace launcher::platform {

namespace {

// An environment variable; none when it is not set.
std::optional<std::wstring> environment_variable(const wchar_t* name) {
    std::vector<wchar_t> value(256);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableW(name, value.data(),
                                                     static_cast<DWORD>(value.size()));
        if (length == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
                return std::nullopt;
            }
            return std::wstring();
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

std::string code_points(std::u16string_view characters) {
    std::string text;
    for (std::size_t i = 0; i < characters.size(); ++i) {
        char32_t c = characters[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < characters.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (characters[++i] - 0xDC00);
        }
        char name[16];
        std::snprintf(name, sizeof name, "%sU+%04X", text.empty() ? "" : " ",
                      static_cast<unsigned>(c));
        text += name;
    }
    return text;
}

// `text` in code page `code_page` without best fit; none when a character
// has no exact counterpart there.
std::optional<std::string> to_code_page(std::wstring_view text, UINT code_page) {
    if (text.empty()) {
        return std::string();
    }
    const int length = static_cast<int>(text.size());
    BOOL used_default = FALSE;
    const int size = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, text.data(), length,
                                         nullptr, 0, nullptr, &used_default);
    if (size <= 0 || used_default != FALSE) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, text.data(), length, bytes.data(),
                            size, nullptr, &used_default) != size ||
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

// The characters of `word` that do not round-trip, each once.
std::u16string characters_lacking(const std::string& word, UINT code_page) {
    const std::wstring wide = to_wide(word);
    std::u16string lacking;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        const bool pair = wide[i] >= 0xD800 && wide[i] <= 0xDBFF && i + 1 < wide.size();
        const std::wstring character = wide.substr(i, pair ? 2 : 1);
        i += pair ? 1 : 0;
        const std::u16string as_u16(character.begin(), character.end());
        if (!round_trips(character, code_page) && lacking.find(as_u16) == std::u16string::npos) {
            lacking += as_u16;
        }
    }
    return lacking;
}

LeadBytes lead_bytes_of(UINT code_page) {
    LeadBytes lead{};
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

std::string position(std::size_t index, std::size_t first_server) {
    if (index >= first_server) {
        return "server argument " + std::to_string(index - first_server + 1);
    }
    return "word " + std::to_string(index + 1) + " of the server command";
}

}  // namespace

std::wstring find_java() {
    std::vector<std::wstring> folders;
    if (NeedCurrentDirectoryForExePathW(L"java") != FALSE) {
        folders.emplace_back(L".");
    }
    for (std::wstring& folder : list_entries(environment_variable(L"PATH").value_or(L""))) {
        folders.push_back(std::move(folder));
    }
    const std::vector<std::wstring> extensions = list_entries(
        environment_variable(L"PATHEXT").value_or(L".COM;.EXE;.BAT;.CMD"));
    for (const std::wstring& folder : folders) {
        const bool separated = folder.ends_with(L'\\') || folder.ends_with(L'/');
        for (const std::wstring& extension : extensions) {
            std::wstring path = folder;
            path += separated ? L"" : L"\\";
            path += L"java";
            path += extension;
            if (is_file(path)) {
                return path;
            }
        }
    }
    return {};
}

bool java_is_batch_file() {
    static const bool batch = [] {
        const std::wstring java = find_java();
        return ends_with_ignoring_case(java, L".bat") || ends_with_ignoring_case(java, L".cmd");
    }();
    return batch;
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
                report(position(i, first_server) +
                       " holds a double quote or a percent sign, which the batch file " +
                       to_utf8(find_java()) +
                       " cannot pass on to the Java runtime unchanged: cmd.exe reads its "
                       "arguments a second time, as commands and variables; the server is not "
                       "started");
                return false;
            }
        }
    }

    const UINT code_page = GetACP();
    if (code_page == CP_UTF8) {
        return true;
    }
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::u16string lacking = characters_lacking(words[i], code_page);
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
