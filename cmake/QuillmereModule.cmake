# quillmere_module(<target> [DEPS <targets...>] [TEST_DEPS <targets...>]
#                  [EXCLUDE <subfolders or files...>] [BUSY_TESTS <gtest filters...>]
#                  [AVAHI_CLIENT_TESTS])
#
# Every library of the tree is laid out the same way: sources beside their
# headers (subfolders included), tests in Tests/. Globbing keeps the build
# files from becoming a second list of every source file. A subfolder named
# or file named in EXCLUDE is a library of its own. Tests matched by
# BUSY_TESTS stream in real time on several threads and judge what arrived
# by the clock: CTest counts each as two processors, so on a small machine
# they do not share it with other tests. AVAHI_CLIENT_TESTS: the tests make
# Avahi clients, whose libdbus locks form a cycle of their own that only
# these programs' race checking leaves out (TestSupport/ThreadSanitizerSuppressions.cpp).
set(QUILLMERE_TEST_BATCH 6 CACHE STRING "Test files compiled together as one unit")

function(quillmere_module target)
  cmake_parse_arguments(ARG "AVAHI_CLIENT_TESTS" "" "DEPS;TEST_DEPS;EXCLUDE;BUSY_TESTS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/Tests/")
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  foreach(folder ${ARG_EXCLUDE})
    list(FILTER sources EXCLUDE REGEX "^${CMAKE_CURRENT_SOURCE_DIR}/${folder}(/|$)")
  endforeach()
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
    # Much of a source's compile time goes to the standard library and fmt:
    # parse them once per library that has enough sources to pay for it.
    list(LENGTH sources count)
    if(count GREATER_EQUAL 8)
      target_precompile_headers(${target} PRIVATE
        <algorithm> <chrono> <cstdint> <expected> <functional> <map> <memory> <mutex> <optional>
        <span> <string> <string_view> <variant> <vector> <fmt/format.h>)
    endif()
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()

  file(GLOB_RECURSE tests CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/Tests/*.cpp)
  if(tests)
    add_executable(${target}Tests ${tests})
    if(ARG_AVAHI_CLIENT_TESTS)
      set(suppressions QuillmereAvahiTestSuppressions)
    else()
      set(suppressions QuillmereTestSuppressions)
    endif()
    target_link_libraries(${target}Tests PRIVATE ${target} ${ARG_TEST_DEPS} QuillmereTestSupport
                          ${suppressions} GTest::gtest GTest::gmock GTest::gtest_main)
    # GCC 12 reports out-of-bounds copies inside std::string that cannot
    # happen (its known false positive once the strings are inlined from the
    # precompiled header); AddressSanitizer checks the real thing.
    target_compile_options(${target}Tests PRIVATE -Wno-array-bounds -Wno-stringop-overflow)
    # Test code is thin (the work is in the libraries, built optimised):
    # unoptimised it compiles in about 60 % of the time.
    target_compile_options(${target}Tests PRIVATE -O0)
    # Nor do their line tables pay: failures name their lines themselves, and
    # sanitizer traces keep the libraries' lines. Debug builds keep them.
    target_compile_options(${target}Tests PRIVATE $<$<CONFIG:RelWithDebInfo>:-g0>)
    # Undefined-behaviour checks stay on the code under test: in the tests
    # themselves they cost a quarter of the sanitized compile time.
    if(QUILLMERE_SANITIZE)
      target_compile_options(${target}Tests PRIVATE -fno-sanitize=undefined)
    endif()
    # Test files all parse the same heavy headers; parse them once. Above the
    # wire library that includes its message vocabulary. Making the
    # precompiled header costs about three files' worth of parsing.
    list(LENGTH tests testCount)
    if(testCount GREATER_EQUAL 5)
      set(heavy <gtest/gtest.h> <gmock/gmock.h>
          <chrono> <functional> <map> <memory> <optional> <string> <thread> <variant> <vector>)
      if(target STREQUAL "QuillmereWire" OR "QuillmereWire" IN_LIST ARG_DEPS)
        list(APPEND heavy "${PROJECT_SOURCE_DIR}/QuillmereWire/ControlMessage.h")
      endif()
      target_precompile_headers(${target}Tests PRIVATE ${heavy})
    endif()
    # The files of a test program share their fixtures' and libraries'
    # headers beyond the precompiled ones: compiled a few at a time, each
    # batch parses them once.
    # (0 puts each program's files in one batch: a check that no two clash.)
    set_target_properties(${target}Tests PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${QUILLMERE_TEST_BATCH})
    # A file that pulls in a whole namespace of helpers would quietly take an
    # earlier file's same-named helper (its own t0, say) instead: such files
    # compile alone. Literal suffixes are safe.
    foreach(test ${tests})
      file(STRINGS ${test} directives REGEX "^[ \t]*using namespace ")
      list(FILTER directives EXCLUDE REGEX "_literals;?$")
      if(directives)
        set_source_files_properties(${test} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
      endif()
    endforeach()
    # Labelled with their program, so that a run can pick whole programs
    # wherever their folders lie.
    if(ARG_BUSY_TESTS)
      list(JOIN ARG_BUSY_TESTS ":" busy)
      gtest_discover_tests(${target}Tests TEST_FILTER "-${busy}"
                           DISCOVERY_TIMEOUT 60
                           PROPERTIES TIMEOUT 300 LABELS ${target}Tests)
      gtest_discover_tests(${target}Tests TEST_FILTER "${busy}"
                           DISCOVERY_TIMEOUT 60
                           PROPERTIES TIMEOUT 300 PROCESSORS 2 LABELS ${target}Tests)
    else()
      gtest_discover_tests(${target}Tests
                           DISCOVERY_TIMEOUT 60
                           PROPERTIES TIMEOUT 300 LABELS ${target}Tests)
    endif()
  endif()
endfunction()
