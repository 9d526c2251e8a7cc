# Compiler settings shared by every target of the project, applied per target.
option(LAUNCHER_WERROR "Treat compiler warnings as errors" OFF)
set(LAUNCHER_SANITIZE "" CACHE STRING
  "Sanitizers to build with, as -fsanitize takes them (e.g. address,undefined or thread)")
option(LAUNCHER_RELEASE
  "Build what ships: executables stripped at link time, the same bytes from any folder at any time"
  OFF)

# launcher_target_options(<target> [NO_SANITIZE])
# NO_SANITIZE: for the tests' stand-in programs, which are not what the
# sanitizers are there to check; ThreadSanitizer's deferred delivery of
# signals would change what a stand-in server sees of them.
function(launcher_target_options target)
  cmake_parse_arguments(PARSE_ARGV 1 option "NO_SANITIZE" "" "")
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${LAUNCHER_WERROR}>:/WX>)
    return()
  endif()
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
    $<$<BOOL:${LAUNCHER_WERROR}>:-Werror>)
  if(LAUNCHER_SANITIZE AND NOT option_NO_SANITIZE)
    target_compile_options(${target} PRIVATE
      -fsanitize=${LAUNCHER_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=${LAUNCHER_SANITIZE})
  endif()
  if(LAUNCHER_RELEASE)
    # The folders the sources and the build stand in leave no trace in the
    # objects (__FILE__, debug information), so that two checkouts in
    # different places give the same bytes.
    target_compile_options(${target} PRIVATE
      "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=."
      "-ffile-prefix-map=${PROJECT_BINARY_DIR}=build")
    # Stripped by the linker: no symbols, no debug sections (the static C++
    # runtime of MinGW-w64 brings about 1 MiB of them). A separate strip
    # would be no good on Windows images: binutils' strip writes a new time
    # stamp into the PE header.
    target_link_options(${target} PRIVATE -s)
  endif()
  if(WIN32)
    # No link time in the PE header: the image depends on its sources only.
    target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
  endif()
endfunction()
