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

// For cmd.exe, which the launcher starts as "cmd.exe /d /v:off /s /c
// "<text>"", and then the C runtime of the program it starts, which splits
// its command line into argv. The same holds for the text in UTF-16: every
// byte of a UTF-8 character beyond ASCII is 0x80 or above, so the quoting
// looks only at ASCII characters, which convert one to one.
// A word made only of letters, digits and + = _ - . , : / @ is returned as it
// is. Any other word, and the empty word, is written in two layers:
//
// 1. For the program's C runtime ("Parsing C command-line arguments" in the
//    Microsoft C runtime documentation): the word is cut at each "%" and every
//    part is put in double quotes, so that blanks and tabs stay inside it;
//    the "%" signs stand between the parts ("a b%" becomes "a b"%"", see 3).
//    Backslashes are literal unless they precede a double quote. A literal
//    quote is written \" with the backslashes before it doubled (2n+1
//    backslashes and a quote give n backslashes and a literal quote), and the
//    backslashes before a closing quote are doubled (2n backslashes and a
//    quote give n backslashes, and the quote ends the quoted part). A closing
//    quote is never followed by another quote, so the runtime's special case
//    for "" inside quotes, which differs between runtime versions, never
//    arises.
//
// 2. For cmd.exe ("cmd /?"): every double quote and every character that cmd
//    treats specially outside quotes (& | < > ( ) ^) gets a caret before it.
//    cmd removes each caret and takes the character after it literally; as
//    every quote is escaped, cmd never enters its own quoted state, runs
//    nothing of the word and hands the program exactly the text of layer 1.
//    (cmd's own quoting is avoided on purpose: its quote state and the
//    runtime's part ways at the first literal quote, and inside its quotes
//    cmd keeps carets.)
//
// 3. cmd replaces %NAME% (and the forms %NAME:~n,m% and %NAME:a=b% of
//    "set /?") by the variable's value anywhere in the line, even inside
//    quotes, before it looks at carets; on the command line, unlike in batch
//    files (where %% stands for %), there is no documented escape for "%".
//    Undefined names are left as they are. Since every "%" is followed by the
//    opening quote of the next part, any name cmd can find starts with a
//    double quote (with ^" before the carets are removed), and no variable
//    has such a name: every "%" reaches the program unchanged.
//
// Assumed, as /v:off makes it: delayed expansion is off, so "!" is an
// ordinary character. The text follows /s /c in quotes of its own, which /s
// strips again (the first and the last quote of the line, "cmd /?"),
// whatever quotes the text holds.
//
// A line break cannot pass through cmd, which ends the command there: each
// carriage return and line feed of the word is passed on as a blank.
std::string quote_for_cmd(std::string_view word);

// For cmd.exe as above when the program it runs is a batch file (java.bat,
// java.cmd), which hands its arguments (%*) to a second parse by cmd. In
// that parse the quotes of layer 1 are cmd's own quotes as well: a word
// without a double quote or a "%" has every character that cmd acts on
// inside them, carets included, and arrives as it left. A word with "=" or
// "," is quoted too, as a batch file's %1 to %9 split at them. Callers
// refuse the two characters that cannot be carried:
// - a double quote: cmd ignores the backslash before it, and the quote
//   opens or closes cmd's quoted state, so that what follows would run.
//   (Rust's standard library, whose method for batch files since
//   CVE-2024-24576 this follows, writes it "" instead, which C runtimes of
//   different versions read differently.)
// - "%": a batch file may expand its %* text once more, where an undefined
//   name gives the empty text, so that no escape of layer 3 holds.
std::string quote_for_cmd_and_batch(std::string_view word);

}  // namespace launcher
