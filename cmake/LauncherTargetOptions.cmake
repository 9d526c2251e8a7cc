# Compiler settings shared by every target of the project, applied per target.
option(LAUNCHER_WERROR "Treat compiler warnings as errors" OFF)
set(LAUNCHER_SANITIZE "" CACHE STRING
  "Sanitizers to build with, as -fsanitize takes them (e.g. address,undefined or thread)")

function(launcher_target_options target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${LAUNCHER_WERROR}>:/WX>)
    return()
  endif()
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
    $<$<BOOL:${LAUNCHER_WERROR}>:-Werror>)
  if(LAUNCHER_SANITIZE)
    target_compile_options(${target} PRIVATE
      -fsanitize=${LAUNCHER_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=${LAUNCHER_SANITIZE})
  endif()
endfunction()
