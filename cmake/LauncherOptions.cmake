# Every option of the build, in one place.
option(LAUNCHER_WERROR "Treat compiler warnings as errors" OFF)
set(LAUNCHER_SANITIZE "" CACHE STRING
  "Sanitizers to build with, as -fsanitize takes them (e.g. address,undefined or thread)")
option(LAUNCHER_RELEASE
  "Build what ships: executables stripped at link time, the same bytes from any folder at any time"
  OFF)
# On Linux the launcher is linked statically: it then starts without the
# dynamic loader and the shared C++ runtime, so that it adds less to a
# server's start and stays small in memory (docs/design.md). The
# sanitizers need the shared runtimes, so they turn it off.
option(LAUNCHER_STATIC "Link the launcher statically on Linux (not with sanitizers)" ON)
option(LAUNCHER_BUILD_TESTS "Build the tests and their helper programs" ON)
option(LAUNCHER_BUILD_FUZZERS "Build the libFuzzer targets (clang)" OFF)
