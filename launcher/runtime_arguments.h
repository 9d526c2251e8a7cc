// What a Windows program receives of a command line that cmd.exe passed on
// to it: a model of the C runtime's splitting of its ANSI command line, the
// one the Java runtime's launcher reads. Pure functions, so that they can be
// tested on every platform.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace launcher {

// Which bytes of an ANSI code page start a two-byte character (932, 936,
// 949, 950); all false for a single-byte code page and for UTF-8, whose
// bytes beyond ASCII are never a blank, a quote or a backslash.
using LeadBytes = std::array<bool, 256>;

// The text that cmd.exe passes on for a command text made by quote_for_cmd
// (or quote_for_cmd_and_batch): every caret escape "^c" becomes "c". The
// text has no other construct that cmd changes: every quote in it is
// escaped, so that cmd never enters its quoted state, and every "%" is
// followed by a quote, so that cmd expands no variable.
std::string remove_cmd_escapes(std::string_view text);

// Splits a command line as the C runtime does ("Parsing C command-line
// arguments"): blanks and tabs separate arguments outside quotes; 2n
// backslashes before a quote give n and the quote opens or closes a quoted
// part, 2n+1 give n and a literal quote; "" inside quotes is a literal quote;
// other backslashes are literal. A lead byte and the byte after it form one
// character whatever the second byte is, as the runtime's double-byte aware
// parsers read them: a second byte 0x5C is no backslash.
std::vector<std::string> split_runtime_command_line(std::string_view line,
                                                    const LeadBytes& lead_bytes);

}  // namespace launcher
