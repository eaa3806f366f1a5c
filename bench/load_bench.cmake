# The lint of `ravelgard config` lives with the command; the benchmark links
# sources.
target_sources(load_bench PRIVATE
  ${CMAKE_SOURCE_DIR}/tools/ravelgard/lint.cpp
  ${CMAKE_SOURCE_DIR}/tools/ravelgard/ini_text.cpp
  ${CMAKE_SOURCE_DIR}/tools/ravelgard/util.cpp)
target_include_directories(load_bench PRIVATE ${CMAKE_SOURCE_DIR}/tools)
