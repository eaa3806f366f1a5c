# The Windows build: Ravelgard.dll (the ISAPI filter), the host program that
# drives it like a web server, and the core's unit tests, cross-built with
# mingw-w64 (see cmake/toolchain-mingw-w64-*.cmake) and run under Wine.
#
# Included from the top-level CMakeLists.txt when the target is Windows,
# once the core's source lists (RG_CORE_SOURCES) and llhttp (rg_llhttp) are
# defined; the rest of that file describes the POSIX build.

# Windows 2000 and later: IIS 5.0, the oldest server that delivers raw
# request data to filters, runs there (64-bit Windows begins with XP x64
# and Server 2003 x64). mingw-w64's headers hide only some of the functions
# that came later (GetModuleHandleEx, for one, stays declared), so
# tests/windows/run.sh checks the DLLs' imports as well.
set(RG_WIN_DEFINITIONS _WIN32_WINNT=0x0500 WINVER=0x0500 WIN32_LEAN_AND_MEAN NOMINMAX)

# The Windows platform layer in place of the POSIX one.
set(RG_WIN_PLATFORM_SOURCES
  src/platform/file_win.cpp
  src/platform/profile_win.cpp)
# The two files that carry the test hooks, compiled with and without them.
set(RG_WIN_PLATFORM_HOOKED_SOURCES
  src/platform/heap_win.cpp
  src/platform/platform_win.cpp)

add_library(rg_core_objects OBJECT ${RG_CORE_SOURCES} ${RG_WIN_PLATFORM_SOURCES})
target_include_directories(rg_core_objects PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(rg_core_objects PUBLIC ${RG_WIN_DEFINITIONS})
target_link_libraries(rg_core_objects PUBLIC rg_llhttp)
# The core throws nothing and must not pull in the C++ runtime's unwinder:
# with it comes the threads library, whose GetTickCount64 import keeps the
# DLL off Windows XP and Server 2003, where IIS 5.1 and 6.0 run.
target_compile_options(rg_core_objects PRIVATE -fno-exceptions)

# The shipped core, without the allocation-failure and clock hooks of the
# tests. shlwapi: the bounded wsprintf of the log lines.
add_library(ravelgard_core STATIC $<TARGET_OBJECTS:rg_core_objects>
  ${RG_WIN_PLATFORM_HOOKED_SOURCES})
target_include_directories(ravelgard_core PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(ravelgard_core PUBLIC ${RG_WIN_DEFINITIONS})
target_link_libraries(ravelgard_core PUBLIC rg_llhttp shlwapi)
target_compile_options(ravelgard_core PRIVATE -fno-exceptions)

# The runtime is linked in, so the DLL needs nothing beside the system's own
# DLLs on a server.
set(RG_WIN_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)

# Ravelgard.dll: the ISAPI adapter over the core, exporting the three entry
# points by name (windows/Ravelgard.def) and nothing else.
add_library(Ravelgard SHARED isapi/module.cpp isapi/entry.cpp isapi/verdict.cpp
  windows/isapi_layout.cpp ${CMAKE_SOURCE_DIR}/windows/Ravelgard.def)
set_target_properties(Ravelgard PROPERTIES PREFIX "" OUTPUT_NAME "Ravelgard")
target_compile_options(Ravelgard PRIVATE -fno-exceptions)
target_include_directories(Ravelgard PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(Ravelgard PRIVATE ravelgard_core)
target_link_options(Ravelgard PRIVATE ${RG_WIN_STATIC_RUNTIME} -Wl,--no-undefined)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The .def names are the undecorated ones: the linker maps each to its
  # __stdcall symbol (GetFilterVersion@4 ...) and exports it without the @n.
  target_link_options(Ravelgard PRIVATE -Wl,--kill-at -Wl,--enable-stdcall-fixup)
endif()

# The host program: loads a filter DLL and screens recorded requests with it,
# played as `ravelgard check` plays them; the framer tells it where requests
# end.
add_executable(ravelgard-host windows/ravelgard-host.cpp src/frame/framer.cpp src/scan/byte_scan.cpp
  src/log/reasons.cpp)
target_include_directories(ravelgard-host PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(ravelgard-host PRIVATE ${RG_WIN_DEFINITIONS})
target_link_libraries(ravelgard-host PRIVATE rg_llhttp)
target_link_options(ravelgard-host PRIVATE ${RG_WIN_STATIC_RUNTIME})

if(RG_BUILD_TESTS)
  # Answers profile queries through the Windows profile functions, for the
  # comparison with the POSIX reader.
  add_executable(ini-dump tests/windows/ini_dump.cpp)
  target_link_libraries(ini-dump PRIVATE ravelgard_core)
  target_link_options(ini-dump PRIVATE ${RG_WIN_STATIC_RUNTIME})
  include(${CMAKE_CURRENT_LIST_DIR}/windows-tests.cmake)
endif()
