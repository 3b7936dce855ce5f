# velmora_library(<name> [DEPS <targets...>] [INCLUDE <dirs...>])
# A static library of every .cpp in the calling folder (main.cpp excepted). A folder that has no sources yet
# gives an interface library with the same usage requirements, so dependants link it either way.
function(velmora_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;INCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
  if(sources)
    add_library(${name} STATIC ${sources})
    set(scope PUBLIC)
  else()
    add_library(${name} INTERFACE)
    set(scope INTERFACE)
  endif()
  target_include_directories(${name} ${scope} ${CMAKE_SOURCE_DIR}/src ${ARG_INCLUDE})
  target_link_libraries(${name} ${scope} ${ARG_DEPS})
endfunction()

# velmora_test(<name> [DEPS <targets...>])
# One GoogleTest program of every *_test.cpp in the calling folder, registered with CTest.
#
# Tests that hand a chosen process id to a new process (testing::newcomer_with_id, which writes
# /proc/sys/kernel/ns_last_pid) wind the system's id counter back, so ids freed moments ago are given out again
# while they run: a test beside them that relies on a dead process's id staying dead (a killed writer's
# temporary, a cache entry's dead holder) would find it alive. So a test that forces ids goes in a test suite
# whose name ends in "PidReuse" (TEST(ChildProcessPidReuse, ...)), and those run alone (RUN_SERIAL): nothing
# else runs beside them, and the other tests need no mark. newcomer_with_id fails any other test that calls it
# under CTest (VELMORA_TEST_ALONE=0), so a forgotten suffix shows at once.
function(velmora_test name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(NOT sources)
    return()
  endif()
  file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp)
  add_executable(${name} ${sources} ${support})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    VELMORA_SOURCE_DIR="${CMAKE_SOURCE_DIR}" VELMORA_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  gtest_discover_tests(${name} TEST_FILTER "*PidReuse.*" DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE ENVIRONMENT VELMORA_TEST_ALONE=1)
  gtest_discover_tests(${name} TEST_FILTER "-*PidReuse.*" DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300 ENVIRONMENT VELMORA_TEST_ALONE=0)
endfunction()

# velmora_install_rpath(<target> [<folder>...])
# The installed program or library <target> gets the RUNPATH <folder>... (each "$ORIGIN" or "$ORIGIN/<path>";
# none: no RUNPATH) at its link and keeps it at install, so that RUNPATH must hold in the build tree too (whose
# bin/ holds what an installation's bin/ and lib/ hold). An installed target left to CMake's rewrite at install
# would have its build-tree RUNPATH padded for that rewrite with a trailing ':', an empty entry that the loader
# reads as the working folder. The test Build.NoRunpathEntryNamesTheWorkingFolder checks the build tree,
# scripts/check_install the installation.
function(velmora_install_rpath target)
  set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "${ARGN}")
endfunction()
