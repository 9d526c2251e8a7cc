# The compiler and linker settings of every target of the project, on two
# INTERFACE targets that each target links:
#   launcher::build_settings  the language standard, warnings, the release's
#                             reproducibility and stripping
#   launcher::sanitizers      LAUNCHER_SANITIZE, for everything but the
#                             tests' stand-in programs: they are not what the
#                             sanitizers are there to check, and
#                             ThreadSanitizer's deferred delivery of signals
#                             would change what a stand-in server sees of them
add_library(launcher_build_settings INTERFACE)
add_library(launcher::build_settings ALIAS launcher_build_settings)
target_compile_features(launcher_build_settings INTERFACE cxx_std_20)
target_compile_options(launcher_build_settings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
  $<$<BOOL:${LAUNCHER_WERROR}>:-Werror>)
if(LAUNCHER_RELEASE)
  # The folders the sources and the build stand in leave no trace in the
  # objects (__FILE__, debug information), so that two checkouts in
  # different places give the same bytes.
  target_compile_options(launcher_build_settings INTERFACE
    "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=."
    "-ffile-prefix-map=${PROJECT_BINARY_DIR}=build")
  # Stripped by the linker: no symbols, no debug sections (the static C++
  # runtime of MinGW-w64 brings about 1 MiB of them). A separate strip
  # would be no good on Windows images: binutils' strip writes a new time
  # stamp into the PE header.
  target_link_options(launcher_build_settings INTERFACE -s)
endif()
if(WIN32)
  # No link time in the PE header: the image depends on its sources only.
  target_link_options(launcher_build_settings INTERFACE -Wl,--no-insert-timestamp)
endif()

add_library(launcher_sanitizers INTERFACE)
add_library(launcher::sanitizers ALIAS launcher_sanitizers)
if(LAUNCHER_SANITIZE)
  target_compile_options(launcher_sanitizers INTERFACE
    -fsanitize=${LAUNCHER_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(launcher_sanitizers INTERFACE -fsanitize=${LAUNCHER_SANITIZE})
endif()
