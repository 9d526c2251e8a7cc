# Shared part of the MinGW-w64 toolchain files: cross-compiling for Windows
# on Linux with the Debian packages g++-mingw-w64-<arch>-posix. The including
# file sets LAUNCHER_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR first.
#
# The -posix compilers use POSIX threads (winpthreads) for std::thread. The
# executables are linked statically, so that they need only DLLs of Windows
# itself: no libstdc++, libgcc or libwinpthread DLL has to ship with them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.0)

set(CMAKE_C_COMPILER "${LAUNCHER_MINGW_TRIPLET}-gcc-posix")
set(CMAKE_CXX_COMPILER "${LAUNCHER_MINGW_TRIPLET}-g++-posix")
set(CMAKE_RC_COMPILER "${LAUNCHER_MINGW_TRIPLET}-windres")

set(CMAKE_FIND_ROOT_PATH "/usr/${LAUNCHER_MINGW_TRIPLET}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
