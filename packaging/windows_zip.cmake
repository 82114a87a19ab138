# Packs the Windows cross build for Windows users: the tools, README.txt and
# LICENSE.txt in a folder wiretest-<VERSION>-win64 inside
# WINDOWS_DIR/wiretest-<VERSION>-win64.zip, and the programs on simulated
# boards with a README.txt of their own in its subfolder demo, apart from the
# tools, so that nobody records a simulated PASS as a board's. Text files
# have CR LF line ends.
# Run with cmake -P, -DWINDOWS_DIR=... -DVERSION=... -DSOURCE_DIR=<repository>.
#
# Without a Windows build there is nothing to pack, and that is no failure;
# a Windows build that lacks one of its .exe files is.

cmake_minimum_required(VERSION 3.25)

# The executables every Windows build has: the tools for real chips and
# their reports, and the demonstrations on simulated boards.
set(tools wiretest.exe wiretest-diagnose.exe wiretest-station.exe)
set(demo_programs wiretest-sim.exe wiretest-station-sim.exe)
set(executables ${tools} ${demo_programs})

if(NOT IS_DIRECTORY "${WINDOWS_DIR}")
  message(STATUS "Windows zip: skipped, no Windows build in ${WINDOWS_DIR} (make windows builds it)")
  return()
endif()

set(missing)
foreach(executable ${executables})
  if(NOT EXISTS "${WINDOWS_DIR}/${executable}")
    list(APPEND missing ${executable})
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "Windows zip: ${WINDOWS_DIR} lacks ${missing}: finish the Windows build (make windows) or remove the folder")
endif()

set(name wiretest-${VERSION}-win64)
set(folder "${WINDOWS_DIR}/${name}")
file(REMOVE_RECURSE "${folder}" "${folder}.zip")
file(MAKE_DIRECTORY "${folder}/demo")
foreach(executable ${tools})
  file(COPY "${WINDOWS_DIR}/${executable}" DESTINATION "${folder}")
endforeach()
foreach(executable ${demo_programs})
  file(COPY "${WINDOWS_DIR}/${executable}" DESTINATION "${folder}/demo")
endforeach()

# Text for Windows: @VARIABLES@ filled in, every line end CR LF.
function(write_for_windows source destination)
  file(READ "${source}" text)
  string(CONFIGURE "${text}" text @ONLY)
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE "${destination}" "${text}")
endfunction()
write_for_windows("${SOURCE_DIR}/packaging/README-windows.txt" "${folder}/README.txt")
write_for_windows("${SOURCE_DIR}/packaging/README-windows-demo.txt" "${folder}/demo/README.txt")
write_for_windows("${SOURCE_DIR}/LICENSE" "${folder}/LICENSE.txt")

execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${name}.zip --format=zip ${name}
                WORKING_DIRECTORY "${WINDOWS_DIR}" COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE "${folder}")
list(JOIN tools " " packed_tools)
list(TRANSFORM demo_programs PREPEND "demo/")
list(JOIN demo_programs " " packed_demo)
message(STATUS "Windows zip: ${folder}.zip holds ${packed_tools} README.txt LICENSE.txt ${packed_demo} demo/README.txt")
