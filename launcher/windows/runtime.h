// What the Java runtime receives on Windows. cmd.exe runs the file that its
// search finds for "java"; the runtime's launcher (java.exe) takes its
// arguments from the ANSI command line (GetCommandLineA), which Windows makes
// from the UTF-16 one with best-fit mapping: U+FF02 becomes a double quote
// on code page 1252, U+00A5 a backslash on 932, a character the code page
// lacks "?". A batch file (java.bat, java.cmd) hands its arguments to cmd
// once more.
#pragma once

#include <string>

namespace launcher::platform {

// The file cmd.exe runs for "java", found as cmd.exe finds it: the current
// folder first (unless NoDefaultCurrentDirectoryInExePath is set), then each
// folder of PATH, in each folder every extension of PATHEXT in order
// (.COM;.EXE;.BAT;.CMD without it). Empty when there is none.
std::wstring find_java();

// Whether find_java() names a batch file; looked up once, on the first call.
bool java_is_batch_file();

// Checks that the Java runtime receives each argument of `command_text`
// (made by quote_argument) exactly: with a batch runtime, that no argument
// holds a double quote or a "%" (see quote_for_cmd_and_batch); unless the ANSI code page is UTF-8,
// that each argument converts to the ANSI code page and back unchanged, without best fit, and that
// the ANSI command line splits, double-byte aware, into the same arguments. Reports the first
// argument refused (its position, the characters, the code page) on standard error and returns
// false.
bool runtime_receives_exactly(const std::string& command_text);

}  // namespace launcher::platform
