# Build speed, applied to the targets once they are all defined (included at
# the end of the top-level CMakeLists.txt); nothing here changes what a
# program does.
#
# Links with Debian's mold where it is installed (make deps lists it) and the
# compiler takes it: it links the suite's executables in a fraction of ld's
# time. WIRETEST_MOLD=OFF keeps ld; without mold the build links with ld as
# before. The programs the packages ship keep ld, the linker they are
# checked with; so do the cross builds, whose ld also works around the
# Cortex-A53's erratum 843419 (Raspberry Pi 3), which mold does not, and
# the Windows build, as mold makes no PE files.
option(WIRETEST_MOLD "Link with mold where it is installed" ON)
set(WIRETEST_LINKED_WITH_LD wiretest wiretest-diagnose wiretest-station)

# Every target defined in DIR and the folders below it.
function(wiretest_targets_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirectories DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory ${subdirectories})
    wiretest_targets_below(${subdirectory} below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

if(WIRETEST_MOLD AND NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  find_program(WIRETEST_MOLD_PROGRAM mold)
  if(WIRETEST_MOLD_PROGRAM)
    include(CheckLinkerFlag)
    check_linker_flag(CXX -fuse-ld=mold WIRETEST_COMPILER_LINKS_WITH_MOLD)
  endif()
  if(WIRETEST_MOLD_PROGRAM AND WIRETEST_COMPILER_LINKS_WITH_MOLD)
    wiretest_targets_below(${PROJECT_SOURCE_DIR} targets)
    foreach(target ${targets})
      get_target_property(type ${target} TYPE)
      if(type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$" AND NOT target IN_LIST WIRETEST_LINKED_WITH_LD)
        set_property(TARGET ${target} APPEND PROPERTY LINK_OPTIONS -fuse-ld=mold)
      endif()
    endforeach()
    message(STATUS "Linking with ${WIRETEST_MOLD_PROGRAM}")
  endif()
endif()

# Compiles through Debian's ccache where it is installed (make deps-ci
# installs it): a machine that builds the same sources again, as CI does on
# one machine run after run, or a developer between branches, takes the
# objects from its cache instead of compiling them. Paths below the source
# folder count relative to it, so that two clones in other folders (CI's
# clean one each run) share their objects; their debug information then
# names the folder that compiled first. The precompiled headers of the clang
# builds are cached too, which ccache does only when told that their macros
# and __TIME__ may be taken as they are. A launcher given on the command line
# is kept; WIRETEST_CCACHE=OFF compiles directly.
option(WIRETEST_CCACHE "Compile through ccache where it is installed" ON)
if(WIRETEST_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  find_program(WIRETEST_CCACHE_PROGRAM ccache)
  find_program(WIRETEST_ENV_PROGRAM env)
  if(WIRETEST_CCACHE_PROGRAM AND WIRETEST_ENV_PROGRAM)
    set(launcher ${WIRETEST_ENV_PROGRAM} CCACHE_BASEDIR=${PROJECT_SOURCE_DIR} CCACHE_NOHASHDIR=1
        CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime ${WIRETEST_CCACHE_PROGRAM})
    wiretest_targets_below(${PROJECT_SOURCE_DIR} targets)
    foreach(target ${targets})
      get_target_property(type ${target} TYPE)
      if(NOT type MATCHES "^(INTERFACE_LIBRARY|UTILITY)$")
        set_target_properties(${target} PROPERTIES C_COMPILER_LAUNCHER "${launcher}" CXX_COMPILER_LAUNCHER "${launcher}")
      endif()
    endforeach()
    message(STATUS "Compiling through ${WIRETEST_CCACHE_PROGRAM}")
  endif()
endif()

# The sanitizer builds make only what their suites run: the Windows build's
# tests under Wine run from the plain build alone (make test-windows).
if((WIRETEST_SANITIZE OR WIRETEST_TSAN) AND TARGET wine_tests)
  set_target_properties(wine_tests PROPERTIES EXCLUDE_FROM_ALL ON)
endif()

# The suite's headers precompiled once, in the clang builds (the
# sanitizers'), for every target that links GoogleTest: most test files
# read GoogleTest and nlohmann/json, and clang, which also instantiates the
# headers' templates in the precompiled header, then compiles such a file
# about a fifth faster. gcc at -O2 gains little from it, and clang-tidy
# cannot read gcc's precompiled headers in the compile commands of the plain
# build that make lint reads: the gcc builds go without.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND BUILD_TESTING)
  find_package(GTest QUIET) # its targets, found in tests/, are that folder's alone
endif()
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND BUILD_TESTING AND TARGET GTest::gtest
   AND TARGET nlohmann_json::nlohmann_json)
  set(pch_source ${CMAKE_BINARY_DIR}/generated/suite_headers.cpp)
  if(NOT EXISTS ${pch_source})
    file(WRITE ${pch_source} "// The suite's precompiled headers (cmake/build_speed.cmake).\n")
  endif()
  add_library(suite_headers OBJECT ${pch_source})
  target_link_libraries(suite_headers PRIVATE GTest::gtest nlohmann_json::nlohmann_json)
  target_precompile_headers(suite_headers PRIVATE <gtest/gtest.h> <nlohmann/json.hpp>
    <algorithm> <chrono> <filesystem> <fstream> <functional> <map> <set> <sstream> <string> <thread> <vector>)
  wiretest_targets_below(${PROJECT_SOURCE_DIR} targets)
  foreach(target ${targets})
    get_target_property(libraries ${target} LINK_LIBRARIES)
    if(target STREQUAL "suite_headers" OR NOT libraries MATCHES "GTest::")
      continue()
    endif()
    set_target_properties(${target} PROPERTIES PRECOMPILE_HEADERS_REUSE_FROM suite_headers)
  endforeach()
endif()

# make lint-windows's choice of units (windows_lint_files.py), checked on a
# scratch tree with g++, the preprocessor of both builds it compares; and
# make lint's memory of clean units (clang_tidy_cached.py).
if(BUILD_TESTING AND NOT CMAKE_CROSSCOMPILING AND NOT WIN32)
  find_program(WIRETEST_PYTHON3 python3)
  find_program(WIRETEST_GXX g++)
  if(WIRETEST_PYTHON3 AND WIRETEST_GXX)
    add_test(NAME Lint.WindowsPassTakesTheUnitsThatDifferThere
      COMMAND ${WIRETEST_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/windows_lint_files_test.py
              ${CMAKE_BINARY_DIR}/windows-lint-files-test ${WIRETEST_GXX})
  endif()
  # make lint's memory of clean units, where clang-tidy is installed (make deps-lint).
  find_program(WIRETEST_CLANG_TIDY clang-tidy)
  if(WIRETEST_PYTHON3 AND WIRETEST_GXX AND WIRETEST_CLANG_TIDY)
    add_test(NAME Lint.UnitsAreJudgedAgainOnlyWhenWhatTheyReadChanged
      COMMAND ${WIRETEST_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/clang_tidy_cached_test.py
              ${CMAKE_BINARY_DIR}/clang-tidy-cached-test ${PROJECT_SOURCE_DIR}/.clang-tidy)
  endif()
endif()
