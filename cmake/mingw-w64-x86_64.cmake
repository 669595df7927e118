# Cross-builds zk27.exe and its suites with Debian's mingw-w64 compilers:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# (scripts/build-windows does it). The posix thread model: with the win32 one
# std::mutex and std::thread do not compile. Everything is linked statically,
# so that zk27.exe and the tests need no libstdc++ or winpthread DLL beside
# them. The tests run under wine64 through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZK27_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZK27_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZK27_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZK27_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZK27_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(ZK27_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(ZK27_WINE64 NAMES wine64 wine)
if(ZK27_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZK27_WINE64})
endif()
