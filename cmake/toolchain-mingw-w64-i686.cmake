# Cross-build for 32-bit Windows with Debian's mingw-w64 (package mingw-w64), the
# compilers of the POSIX thread model:
#   cmake -S . -B build/win-i686 --toolchain cmake/toolchain-mingw-w64-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR X86)

set(RG_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${RG_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RG_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${RG_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${RG_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests built for Windows run under Wine when there is one.
find_program(RG_WINE NAMES wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(RG_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${RG_WINE})
endif()
