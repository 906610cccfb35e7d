# Build helpers shared by every folder.
#
# Headers are seen only through what a target links: each library publishes its own folder
# under build/include/<library>/, so a file that includes a header of a library it does not
# link fails to compile.

# vokel_library(NAME DIR <folder below src> SOURCES ... [LINKS ...])
function(vokel_library name)
  cmake_parse_arguments(L "" "DIR" "SOURCES;LINKS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  vokel_fuzz_coverage(${name})
  vokel_publish_headers(${name} ${L_DIR})
  if(L_LINKS)
    target_link_libraries(${name} PUBLIC ${L_LINKS})
  endif()
endfunction()

# With VOKEL_FUZZ, TARGET's own code carries libFuzzer's coverage (only the fuzz targets link
# libFuzzer's main).
function(vokel_fuzz_coverage target)
  if(VOKEL_FUZZ)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

# Makes the headers of src/DIR visible, as "DIR/name.h", to TARGET and whatever links it.
function(vokel_publish_headers target dir)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  get_filename_component(parent ${root}/${dir} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(NOT EXISTS ${root}/${dir})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${dir} ${root}/${dir} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE" OR type STREQUAL "MODULE_LIBRARY")
    target_include_directories(${target} PRIVATE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()

# vokel_test(NAME SOURCES ... LIBS ... [LABEL unit|e2e|slow] [E2E pattern ...] [SLOW pattern ...])
#
# A GoogleTest program. LABEL (default unit) is the ctest label of its tests:
#   unit  no root, no network namespace, each test well under 5 s;
#   e2e   needs root for a private network namespace (the real programs, fixed ports, ICMP,
#         loopback addresses);
#   slow  real-time schedules (retry pauses, OFF diagnosis), one test per schedule.
# Tests whose names match an E2E or SLOW pattern (gtest filter syntax) get that label instead.
# With CI=true at configure time a skipped test fails: nothing may pass by being skipped.
function(vokel_test name)
  if(NOT VOKEL_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS;E2E;SLOW" ${ARGN})
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} vokel_testmain GTest::gtest GTest::gmock
                        Threads::Threads)
  target_precompile_headers(${name} REUSE_FROM vokel_testmain)
  vokel_test_flags(${name})
  set(others "")
  foreach(label E2E SLOW)
    if(T_${label})
      string(TOLOWER ${label} lower)
      list(JOIN T_${label} ":" filter)
      _vokel_discover(${name} ${lower} "${filter}")
      list(APPEND others ${T_${label}})
    endif()
  endforeach()
  if(others)
    list(JOIN others ":" filter)
    _vokel_discover(${name} ${T_LABEL} "-${filter}")
  else()
    _vokel_discover(${name} ${T_LABEL} "")
  endif()
endfunction()

function(_vokel_discover name label filter)
  set(props LABELS ${label} TIMEOUT 300)
  if("$ENV{CI}" STREQUAL "true")
    list(APPEND props SKIP_REGULAR_EXPRESSION "^VOKEL-NEVER-SKIPPED$")
  endif()
  if(filter)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "${filter}" PROPERTIES ${props})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
  endif()
endfunction()

# Compile options of test code (test programs, their main and support libraries):
# - GCC 12 reports std::string copies in headers read through a precompiled header as out of
#   bounds (a known false positive of -Warray-bounds and -Wstringop-overflow at -O2), so those
#   two are left out;
# - in optimised builds the test code itself is compiled with -Og: it mostly waits on its
#   peers, and GoogleTest's expansions at -O2 took a third more compile time. The code under
#   test keeps the build's own optimisation. One level for all of them, since the test
#   programs share one precompiled header.
function(vokel_test_flags target)
  target_compile_options(${target} PRIVATE
    $<$<CXX_COMPILER_ID:GNU>:-Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread>
    $<$<CONFIG:RelWithDebInfo>:-Og>)
endfunction()
