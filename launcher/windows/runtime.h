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

// What the launcher's search for java found.
struct JavaSearch {
    // The file cmd.exe runs for "java"; empty when none was found.
    std::wstring path;
    // Why cmd.exe's own search may find another file: an empty or unreadable
    // PATHEXT or PATH, NoDefaultCurrentDirectoryInExePath, a WOW64
    // redirection that cannot be turned off, a java of a type cmd.exe hands
    // to another program. Empty when the search follows cmd.exe's for sure.
    std::string unsure;
};

// Looks for "java" as cmd.exe does: the current folder first, then each
// folder of PATH, in each folder every extension of PATHEXT in order
// (.COM;.EXE;.BAT;.CMD without it, or when it is empty), in the file system
// view of the cmd.exe that start_server starts (under WOW64 the native one).
JavaSearch find_java();

// find_java()'s result, looked up once, on the first call.
const JavaSearch& java_search();

// Whether java must be taken for a batch file: the search found a java.bat
// or java.cmd, or it is unsure (the safe side: a program receives what a
// batch file would pass on unchanged too).
bool java_is_batch_file();

// Checks that the Java runtime receives each argument of `command_text`
// (made by quote_argument) exactly: with a batch runtime, that no argument
// holds a double quote or a "%" (see quote_for_cmd_and_batch); that each
// argument converts to the ANSI code page and back unchanged, without best
// fit (UTF-8 included, which lacks lone surrogates), and that the ANSI
// command line splits, double-byte aware, into the same arguments. Reports
// the first argument refused (its position, each character it lacks as
// given, a lone surrogate as itself, the code page) on standard error and
// returns false.
bool runtime_receives_exactly(const std::string& command_text);

}  // namespace launcher::platform
