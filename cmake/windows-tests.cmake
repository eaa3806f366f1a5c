# The core's unit tests built for Windows, with GoogleTest from its sources
# (Debian's googletest package), to run under Wine. Only the tests of the
# platform-independent core are built here; the others test the POSIX
# platform layer, the POSIX module or the command (see the list below).
set(RG_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${RG_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The core once more, with the test hooks (allocation failures, the test
# clock) that the shipped DLL leaves out.
add_library(ravelgard_core_testing STATIC $<TARGET_OBJECTS:rg_core_objects>
  ${RG_WIN_PLATFORM_HOOKED_SOURCES})
target_include_directories(ravelgard_core_testing PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(ravelgard_core_testing PUBLIC ${RG_WIN_DEFINITIONS} RG_TEST_HOOKS)
target_link_libraries(ravelgard_core_testing PUBLIC rg_llhttp shlwapi)

# The test kit, as on POSIX systems (tests/kit), built for Windows.
add_subdirectory(${CMAKE_SOURCE_DIR}/tests/kit ${CMAKE_BINARY_DIR}/tests/kit)
target_compile_definitions(rg_test_kit PRIVATE ${RG_WIN_DEFINITIONS})
# GCC 12 at -O3 sees an overlapping copy in std::string's code that cannot
# happen (a known false positive of -Wrestrict) in the tests' own code.
target_compile_options(rg_test_kit PUBLIC -Wno-restrict)

# Tests of the portable core, the engine and the log, on the Windows
# platform layer. Not built for Windows: the tests of the POSIX platform
# layer, the adapter and the command (platform, platform_share, loader,
# log_safety, concurrent_shared_log, filter, module, lifecycle,
# concurrent_filter, tool), which load Ravelgard.so, fork, or use POSIX
# calls, file modes, FIFOs and signals. The DLL's behaviour, its log and
# error numbers included, is held against the POSIX module's by
# tests/windows/run.sh instead.
set(RG_WIN_TESTS canon_test checks_test byte_scan_test scanner_test scan_property_test framer_test engine_test
  summary_test lists_test list_index_test log_test concurrent_log_test concurrent_platform_test)
set(RG_WIN_TEST_LIST "")
foreach(name ${RG_WIN_TESTS})
  add_executable(${name} ${CMAKE_SOURCE_DIR}/tests/${name}.cpp)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE rg_test_kit ravelgard_core_testing gtest gtest_main)
  target_link_options(${name} PRIVATE ${RG_WIN_STATIC_RUNTIME})
  target_compile_definitions(${name} PRIVATE RG_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  string(APPEND RG_WIN_TEST_LIST "${name}\n")
endforeach()
# Tests of the Windows platform layer alone.
foreach(name module_path_test)
  add_executable(${name} ${CMAKE_SOURCE_DIR}/tests/windows/${name}.cpp)
  target_link_libraries(${name} PRIVATE ravelgard_core_testing gtest gtest_main)
  target_link_options(${name} PRIVATE ${RG_WIN_STATIC_RUNTIME})
  string(APPEND RG_WIN_TEST_LIST "${name}\n")
endforeach()
# The list tests/windows/run.sh runs under Wine.
file(WRITE ${CMAKE_BINARY_DIR}/windows_tests.txt "${RG_WIN_TEST_LIST}")
