// Quoting one word for a command processor, so that the processor hands it
// to the program as exactly one argument with its text unchanged and runs
// nothing of it. Pure string functions, for every platform's processor, so
// that each can be tested anywhere.
#pragma once

#include <string>
#include <string_view>

namespace launcher {

// For the POSIX shell (sh -c). A word made only of characters that the shell
// takes literally (letters, digits and + = _ - . , : / @ %) is returned as
// it is; any other word, and the empty word, is put in single quotes, each
// single quote inside written as '\'' (POSIX XCU 2.2.2: nothing inside
// single quotes is special).
std::string quote_for_posix_shell(std::string_view word);

}  // namespace launcher
