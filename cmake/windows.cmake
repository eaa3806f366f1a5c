# The Windows build: Ravelgard.dll (the ISAPI filter), the host program that
# drives it like a web server, and the core's unit tests, cross-built with
# mingw-w64 (see cmake/toolchain-mingw-w64-*.cmake) and run under Wine.
#
# Included from the top-level CMakeLists.txt when the target is Windows; the
# rest of that file describes the POSIX build.

# XP / Server 2003 and later: the oldest systems whose IIS (5.1, 6.0) still
# delivers raw request data to filters, and the first with
# GetModuleHandleEx.
set(RG_WIN_DEFINITIONS _WIN32_WINNT=0x0501 WINVER=0x0501 WIN32_LEAN_AND_MEAN NOMINMAX)

# The core on the Windows platform layer: every core source except the POSIX
# platform files and the module's own entry routine.
file(GLOB_RECURSE RG_WIN_CORE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*.cpp)
list(FILTER RG_WIN_CORE_SOURCES EXCLUDE REGEX ".*_test\\.cpp$")
list(FILTER RG_WIN_CORE_SOURCES EXCLUDE REGEX ".*/platform/[a-z]+_posix\\.cpp$")
list(FILTER RG_WIN_CORE_SOURCES EXCLUDE REGEX ".*/filter/module\\.cpp$")

# The shipped core, without the allocation-failure and clock hooks of the
# tests.
add_library(ravelgard_core STATIC ${RG_WIN_CORE_SOURCES})
target_include_directories(ravelgard_core PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(ravelgard_core PUBLIC ${RG_WIN_DEFINITIONS})
target_link_libraries(ravelgard_core PUBLIC shlwapi)

# The runtime is linked in, so the DLL needs nothing beside the system's own
# DLLs on a server.
set(RG_WIN_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)

add_library(Ravelgard SHARED src/filter/module.cpp windows/isapi_layout.cpp
  ${CMAKE_SOURCE_DIR}/windows/Ravelgard.def)
set_target_properties(Ravelgard PROPERTIES PREFIX "" OUTPUT_NAME "Ravelgard")
target_link_libraries(Ravelgard PRIVATE -Wl,--whole-archive ravelgard_core -Wl,--no-whole-archive)
target_link_options(Ravelgard PRIVATE ${RG_WIN_STATIC_RUNTIME} -Wl,--no-undefined)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The .def names are the undecorated ones: the linker maps each to its
  # __stdcall symbol (GetFilterVersion@4 ...) and exports it without the @n.
  target_link_options(Ravelgard PRIVATE -Wl,--kill-at -Wl,--enable-stdcall-fixup)
endif()

# The host program: loads a filter DLL and screens recorded requests with it.
add_executable(ravelgard-host windows/ravelgard-host.cpp tools/ravelgard/framing.cpp
  src/log/reasons.cpp)
target_include_directories(ravelgard-host PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tools)
target_compile_definitions(ravelgard-host PRIVATE ${RG_WIN_DEFINITIONS})
target_link_options(ravelgard-host PRIVATE ${RG_WIN_STATIC_RUNTIME})

if(RG_BUILD_TESTS)
  # Answers profile queries through the Windows profile functions, for the
  # comparison with the POSIX reader.
  add_executable(ini-dump tests/windows/ini_dump.cpp)
  target_link_libraries(ini-dump PRIVATE ravelgard_core)
  target_link_options(ini-dump PRIVATE ${RG_WIN_STATIC_RUNTIME})
  include(${CMAKE_CURRENT_LIST_DIR}/windows-tests.cmake)
endif()
