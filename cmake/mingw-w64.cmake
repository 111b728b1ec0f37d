# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix thread model, so that
# std::thread and std::mutex work). Programs link the C and C++ runtimes and zlib statically and
# need no DLL but the project's own. Test programs run under Wine through scripts/wine-run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SORVEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SORVEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SORVEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SORVEL_MINGW_TRIPLE}-windres)

# Libraries and headers come from the cross compiler's tree (and, for GoogleTest, from the build
# folder's own build of it); programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${SORVEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
