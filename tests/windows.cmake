# The suites that run on Windows (under wine when cross-built): the engine's,
# the decoder's and the command line's that build there. GoogleTest is built
# from Debian's sources with the cross compiler; every case is registered with
# CTest and run through CMAKE_CROSSCOMPILING_EMULATOR.
set(zk27_googletest_dir /usr/src/googletest CACHE PATH "GoogleTest's sources, built for Windows")
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${zk27_googletest_dir} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)
# The cases are listed when ctest runs, under the wine that
# scripts/build-windows has started, not while building.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

add_library(zk27_test_support INTERFACE)
target_include_directories(zk27_test_support INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(zk27_test_support INTERFACE zk27platform)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
function(zk27_add_test name)
  cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} zk27_test_support GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
endfunction()

zk27_add_test(util_text_test util_text_test.cpp LIBS zk27util)
zk27_add_test(engine_volume_test engine_volume_test.cpp LIBS cardops fs usbfunc playercore)
zk27_add_test(engine_entries_test engine_entries_test.cpp LIBS cardops fs usbfunc playercore)
zk27_add_test(engine_passes_test engine_passes_test.cpp LIBS cardops fs usbfunc playercore)
zk27_add_test(engine_care_test engine_care_test.cpp LIBS cardops fs usbfunc playercore)
zk27_add_test(engine_cardops_test engine_cardops_test.cpp LIBS cardops fs usbfunc playercore)
zk27_add_test(engine_backup_test engine_backup_test.cpp LIBS cardops fs usbfunc playercore)
# The platform layer's Windows side: drive letters and physical drives.
zk27_add_test(util_platform_test util_platform_test.cpp LIBS zk27platform)
# The WinUSB backend over a fake of SetupAPI and WinUSB.
zk27_add_test(usb_winusb_test usb_winusb_test.cpp LIBS bulkusb)
# The decoder's suites, with libsndfile's header for its format names only:
# what needs the library itself (FLAC, Ogg, VOX coded by it, rate changes)
# skips here. The comparison with sox stays on Linux.
zk27_add_test(tvdh_test tvdh_test.cpp LIBS tvdh)
zk27_add_test(tvdh_stream_test tvdh_stream_test.cpp LIBS tvdh cardops)
foreach(suite tvdh_test tvdh_stream_test)
  target_include_directories(${suite} PRIVATE ${CMAKE_BINARY_DIR}/drivers/tvdh/host-headers)
endforeach()
# The command line's suites start zk27 and zk27-player as processes (POSIX):
# they run on Linux, with zk27.exe under wine too (build-windows --cli).
