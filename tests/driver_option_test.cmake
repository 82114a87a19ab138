# Configures and builds wiretest with WIRETEST_DRIVER_LIBRARY naming a
# driver library, runs it on that library's first demo board, and checks the
# report and what the executable links. Run with cmake -P.
foreach(var SOURCE_DIR BUILD_DIR DRIVER_LIBRARY C_COMPILER CXX_COMPILER)
  if(NOT ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()

file(REMOVE_RECURSE ${BUILD_DIR})
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BUILD_DIR} -G Ninja
          -DBUILD_TESTING=OFF -DWIRETEST_DRIVER_LIBRARY=${DRIVER_LIBRARY}
          -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
          -DWIRETEST_SANITIZE=${SANITIZE} -DWIRETEST_FUZZ=${FUZZ}
  RESULT_VARIABLE configured OUTPUT_QUIET)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring with WIRETEST_DRIVER_LIBRARY failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target wiretest -j 2
                RESULT_VARIABLE built OUTPUT_QUIET)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "building wiretest on ${DRIVER_LIBRARY} failed")
endif()

execute_process(COMMAND ${BUILD_DIR}/wiretest -n0 -short -delay
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(expected_tail "SUCCESS (Connected to the FTDI.WTSIM001A)\n")
string(FIND "${out}" "${expected_tail}" connected)
string(FIND "${out}" "\t11111111\t11111111\nTesting complete, errors: 0\n" completed)
if(NOT status EQUAL 0 OR connected EQUAL -1 OR completed EQUAL -1 OR NOT err STREQUAL "")
  message(FATAL_ERROR "wiretest on ${DRIVER_LIBRARY}: status ${status}\n${out}\n${err}")
endif()

# The driver comes from the named shared library, not from libftdi1.
execute_process(COMMAND readelf -d ${BUILD_DIR}/wiretest OUTPUT_VARIABLE dynamic)
get_filename_component(library_name ${DRIVER_LIBRARY} NAME)
string(FIND "${dynamic}" "[${library_name}]" needs_driver)
string(FIND "${dynamic}" "libftdi1" needs_libftdi)
if(needs_driver EQUAL -1 OR NOT needs_libftdi EQUAL -1)
  message(FATAL_ERROR "wiretest does not link ${library_name} alone:\n${dynamic}")
endif()
message(STATUS "wiretest built and ran on ${library_name}")
