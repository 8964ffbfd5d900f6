# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix thread
# model: the win32 model of GCC 12 has no std::thread or std::mutex). Programs
# built here run under Wine, which CTest uses to run the tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PELVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PELVANE_MINGW_TRIPLE}-windres)

# The libraries built for Windows (libzip, googletest: scripts/build-windows.sh
# puts them in the folder named by PELVANE_WINDOWS_DEPS) and the compiler's own
# are found; nothing of the build machine is. An environment variable, not a
# cache entry, so that CMake's own test builds see it too.
set(CMAKE_FIND_ROOT_PATH /usr/${PELVANE_MINGW_TRIPLE} $ENV{PELVANE_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(PELVANE_WINE NAMES wine wine64)
if(PELVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PELVANE_WINE})
endif()
