# Runs packaging/windows_zip.cmake on stand-in Windows builds and checks what
# it packs: the .exe files, README.txt and LICENSE.txt with CR LF line ends,
# nothing else of the build folder; a skip without a build, a failure when
# an .exe file is missing. Run with cmake -P, -DSCRATCH=... -DSOURCE_DIR=...
cmake_minimum_required(VERSION 3.25)
set(windows ${SCRATCH}/build-windows)
set(version 9.8.7)
set(name wiretest-${version}-win64)
file(REMOVE_RECURSE ${SCRATCH})

function(pack)
  execute_process(COMMAND ${CMAKE_COMMAND} -DWINDOWS_DIR=${windows} -DVERSION=${version}
                          -DSOURCE_DIR=${SOURCE_DIR} -P ${SOURCE_DIR}/packaging/windows_zip.cmake
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(pack_result ${result} PARENT_SCOPE)
  set(pack_output "${output}" PARENT_SCOPE)
endfunction()

function(fail what)
  message(FATAL_ERROR "${what}\n${pack_output}")
endfunction()

# No Windows build: nothing to pack, and no failure.
pack()
if(NOT pack_result EQUAL 0)
  fail("no Windows build should be skipped")
endif()
if(NOT pack_output MATCHES "skipped")
  fail("the skip should say so")
endif()

# A Windows build without wiretest-sim.exe fails and names it.
file(WRITE ${windows}/wiretest.exe "MZ wiretest")
pack()
if(pack_result EQUAL 0)
  fail("a missing wiretest-sim.exe should fail")
endif()
if(NOT pack_output MATCHES "wiretest-sim\\.exe")
  fail("the failure should name the missing file")
endif()
if(EXISTS ${windows}/${name}.zip)
  fail("no zip after a failure")
endif()

# A whole build, with the simulated test DLL and objects that stay out.
file(WRITE ${windows}/wiretest-sim.exe "MZ wiretest-sim")
file(WRITE ${windows}/sim-driver/ftd2xx.dll "MZ simulated driver")
file(WRITE ${windows}/build.ninja "")
file(WRITE ${windows}/wiretest-diagnose.exe "MZ wiretest-diagnose")
pack()
if(NOT pack_result EQUAL 0)
  fail("packing a whole build failed")
endif()
file(REMOVE_RECURSE ${SCRATCH}/unpacked)
file(MAKE_DIRECTORY ${SCRATCH}/unpacked)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${windows}/${name}.zip
                WORKING_DIRECTORY ${SCRATCH}/unpacked COMMAND_ERROR_IS_FATAL ANY)
file(GLOB_RECURSE packed RELATIVE ${SCRATCH}/unpacked ${SCRATCH}/unpacked/*)
list(SORT packed)
set(expected ${name}/LICENSE.txt ${name}/README.txt ${name}/wiretest-diagnose.exe
             ${name}/wiretest-sim.exe ${name}/wiretest.exe)
if(NOT packed STREQUAL expected)
  fail("the zip holds ${packed}")
endif()

set(unpacked ${SCRATCH}/unpacked/${name})
file(READ ${unpacked}/wiretest.exe exe)
if(NOT exe STREQUAL "MZ wiretest")
  fail("wiretest.exe was not packed as built")
endif()
# file(READ) drops CR, so line ends are checked on the bytes: "0d 0a " is CR LF.
function(read_bytes file variable)
  file(READ ${file} hex HEX)
  string(REGEX REPLACE "(..)" "\\1 " bytes "${hex}")
  set(${variable} "${bytes}" PARENT_SCOPE)
endfunction()
read_bytes(${unpacked}/README.txt readme_bytes)
string(REPLACE "0d 0a " "" readme_without_crlf "${readme_bytes}")
if(NOT readme_bytes MATCHES "0d 0a " OR readme_without_crlf MATCHES "(^| )0a ")
  fail("README.txt has a line end that is not CR LF")
endif()
read_bytes(${unpacked}/LICENSE.txt license_bytes)
read_bytes(${SOURCE_DIR}/LICENSE source_license_bytes)
string(REPLACE "0a " "0d 0a " source_license_bytes "${source_license_bytes}")
if(NOT license_bytes STREQUAL source_license_bytes)
  fail("LICENSE.txt is not LICENSE with CR LF line ends")
endif()
file(READ ${unpacked}/README.txt readme)
if(NOT readme MATCHES "^wiretest ${version} for Windows")
  fail("README.txt does not name the version")
endif()
if(NOT readme MATCHES "wiretest-diagnose.exe")
  fail("README.txt does not name wiretest-diagnose.exe")
endif()
