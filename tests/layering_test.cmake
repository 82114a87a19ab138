# Dependencies point down: no file under drivers/ includes a header of the
# companion programs (station/, diagnose/) or of the tests (tests/), nor
# leaves the process with exit(); and within the station each part includes
# only its own headers and those of the parts below it (station_parts).
# Run with cmake -P:
#   -DSOURCE_DIR=DIR   check the tree at DIR
#   -DSCRATCH=DIR      check the check itself on small trees made in DIR

cmake_policy(SET CMP0057 NEW) # if(... IN_LIST ...)

# Sets ${out} to the breaches of the rule in the tree at root, one a line.
function(layering_breaches root out)
  set(breaches "")
  set(upper_dirs station diagnose tests)
  # The headers above the drivers, by their paths relative to every folder
  # an include may be resolved against: "x.h" of station/sim/x.h is reached
  # as "x.h", "sim/x.h" and "station/sim/x.h".
  set(upper_names "")
  foreach(upper IN LISTS upper_dirs)
    file(GLOB_RECURSE headers RELATIVE ${root} ${root}/${upper}/*.h ${root}/${upper}/*.hpp)
    foreach(header IN LISTS headers)
      string(REPLACE "/" ";" parts "${header}")
      while(parts)
        string(REPLACE ";" "/" name "${parts}")
        list(APPEND upper_names "${name}")
        list(POP_FRONT parts)
      endwhile()
    endforeach()
  endforeach()
  file(GLOB_RECURSE sources RELATIVE ${root} ${root}/drivers/*.h ${root}/drivers/*.c ${root}/drivers/*.cpp)
  foreach(source IN LISTS sources)
    get_filename_component(dir ${root}/${source} DIRECTORY)
    file(STRINGS ${root}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*([\"<])([^\">]*)[\">].*$" "\\1;\\2" parsed "${line}")
      list(GET parsed 0 quote)
      list(GET parsed 1 name)
      # Where it resolves: beside the file, at the top, or in src/; failing
      # those, a header of that name above the drivers is where it comes from.
      set(found "")
      foreach(base ${dir} ${root} ${root}/src)
        if(NOT found AND EXISTS ${base}/${name})
          file(REAL_PATH ${base}/${name} found)
        endif()
      endforeach()
      set(bad FALSE)
      if(found)
        file(RELATIVE_PATH relative ${root} ${found})
        if(relative MATCHES "^(station|diagnose|tests)/")
          set(bad TRUE)
        endif()
      elseif(quote STREQUAL "\"" AND NOT EXISTS ${root}/drivers/sim/${name}
             AND NOT EXISTS ${root}/drivers/libftdi/${name})
        list(FIND upper_names "${name}" at)
        if(at GREATER_EQUAL 0)
          set(bad TRUE)
        endif()
      endif()
      if(bad)
        string(APPEND breaches "${source} includes ${name}, a header above the drivers\n")
      endif()
    endforeach()
    file(STRINGS ${root}/${source} exits REGEX "(^|[^_A-Za-z0-9])(_Exit|quick_exit|exit)[ \t]*\\(")
    if(exits)
      string(APPEND breaches "${source} ends the process: ${exits}\n")
    endif()
  endforeach()
  set(${out} "${breaches}" PARENT_SCOPE)
endfunction()

# The station's parts, each a folder of station/, and the parts each may
# include besides itself; "program" is the files at station/ itself, above
# them all. The same order as the libraries of CMakeLists.txt.
set(station_parts platform model db identity report page outputs runner sim program)
set(station_may_include_platform "")
set(station_may_include_model platform)
set(station_may_include_db platform model)
set(station_may_include_identity platform model db)
set(station_may_include_report platform model db)
set(station_may_include_page platform model)
set(station_may_include_outputs platform model db report page)
set(station_may_include_runner platform model db identity outputs)
set(station_may_include_sim platform model program)
set(station_may_include_program platform model db identity report page outputs runner sim)

# Sets ${out} to the part of the station a path below station/ is in.
function(station_part path out)
  if(path MATCHES "^([^/]+)/")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  else()
    set(${out} program PARENT_SCOPE)
  endif()
endfunction()

# Sets ${out} to the breaches of the station's layers in the tree at root.
function(station_breaches root out)
  set(breaches "")
  # Each header's part by its name: the parts' include folders make a
  # plain name reach it from any part that links that part's library.
  file(GLOB_RECURSE headers RELATIVE ${root}/station ${root}/station/*.h)
  set(owners "")
  foreach(header IN LISTS headers)
    get_filename_component(name ${header} NAME)
    station_part(${header} part)
    if(DEFINED owner_${name} AND NOT owner_${name} STREQUAL part)
      string(APPEND breaches "station/${header}: ${name} is also a header of ${owner_${name}}; a name reaches one part\n")
    endif()
    set(owner_${name} ${part})
  endforeach()
  file(GLOB_RECURSE sources RELATIVE ${root}/station ${root}/station/*.h ${root}/station/*.cpp)
  foreach(source IN LISTS sources)
    station_part(${source} part)
    if(NOT part IN_LIST station_parts)
      string(APPEND breaches "station/${source} is in ${part}/, a folder the station's layers do not name\n")
      continue()
    endif()
    get_filename_component(dir ${root}/station/${source} DIRECTORY)
    file(STRINGS ${root}/station/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*$" "\\1" name "${line}")
      # Beside the file or by a path relative to it, else by its plain name.
      set(included "")
      if(EXISTS ${dir}/${name})
        file(REAL_PATH ${dir}/${name} found)
        file(RELATIVE_PATH relative ${root}/station ${found})
        if(NOT relative MATCHES "^[.][.]/")
          station_part(${relative} included)
        endif()
      else()
        get_filename_component(plain ${name} NAME)
        if(DEFINED owner_${plain})
          set(included ${owner_${plain}})
        endif()
      endif()
      if(included AND NOT included STREQUAL part AND NOT included IN_LIST station_may_include_${part})
        string(APPEND breaches "station/${source} includes ${name} of ${included}, a part ${part} may not include\n")
      endif()
    endforeach()
  endforeach()
  set(${out} "${breaches}" PARENT_SCOPE)
endfunction()

if(SOURCE_DIR)
  layering_breaches(${SOURCE_DIR} breaches)
  if(breaches)
    message(FATAL_ERROR "drivers/ must not depend on the programs above it:\n${breaches}")
  endif()
  station_breaches(${SOURCE_DIR} breaches)
  if(breaches)
    message(FATAL_ERROR "the station's parts must include only the parts below them:\n${breaches}")
  endif()
elseif(SCRATCH)
  # Each case: a file at a path with the line given, beside the headers
  # given, and whether the check (layering_breaches or station_breaches)
  # must object to it.
  function(check_cases check headers)
    foreach(case IN LISTS ARGN)
      string(REPLACE "|" ";" fields "${case}")
      list(GET fields 0 what)
      list(GET fields 1 path)
      list(GET fields 2 text)
      list(GET fields 3 expected)
      set(tree ${SCRATCH}/tree)
      file(REMOVE_RECURSE ${tree})
      foreach(header IN LISTS headers)
        file(WRITE ${tree}/${header} "#pragma once\n")
      endforeach()
      file(WRITE ${tree}/${path} "${text}\n")
      cmake_language(CALL ${check} ${tree} breaches)
      if(expected STREQUAL "caught" AND NOT breaches)
        message(SEND_ERROR "not caught: ${what}: ${text}")
      elseif(expected STREQUAL "passed" AND breaches)
        message(SEND_ERROR "wrongly caught: ${what}: ${breaches}")
      endif()
    endforeach()
  endfunction()
  set(driver_file drivers/sim/case.cpp)
  check_cases(layering_breaches
    "station/driver_options.h;station/station.h;station/sim/demo_chips.h;diagnose/render.h;tests/support/fixture.h;tests/support/mpsse_chip.h;drivers/sim/mpsse_chip.h;src/device_link/chip_kinds.h"
    "station header by name|${driver_file}|#include \"driver_options.h\"|caught"
    "test header by a relative path|${driver_file}|#include \"../../tests/support/fixture.h\"|caught"
    "companion header from the top|${driver_file}|#include <station/station.h>|caught"
    "station header in a subfolder|${driver_file}|#include \"sim/demo_chips.h\"|caught"
    "diagnose header|${driver_file}|#include \"render.h\"|caught"
    "a call of exit|${driver_file}|    std::exit(2)|caught"
    "the driver's own header|${driver_file}|#include \"mpsse_chip.h\"|passed"
    "a header of the engine|${driver_file}|#include \"device_link/chip_kinds.h\"|passed"
    "a system header|${driver_file}|#include <string>|passed"
    "libusb's exit|${driver_file}|    libusb_exit(context)|passed")
  # The station's layers, beside a header of each of several parts.
  check_cases(station_breaches
    "station/platform/files.h;station/model/record.h;station/model/events.h;station/outputs/outputs.h;station/runner/run.h"
    "model includes the runner|station/model/case.cpp|#include \"run.h\"|caught"
    "page includes the output interface|station/page/case.cpp|#include \"outputs.h\"|caught"
    "outputs include the runner by a path|station/outputs/case.cpp|#include \"../runner/run.h\"|caught"
    "platform includes the model|station/platform/case.h|#include \"record.h\"|caught"
    "a folder of no part|station/misc/case.cpp|#include \"files.h\"|caught"
    "a header of one name in two parts|station/model/run.h|#pragma once|caught"
    "runner includes an output|station/runner/case.cpp|#include \"outputs.h\"|passed"
    "the program includes the runner|station/case.cpp|#include \"run.h\"|passed"
    "model includes its own header|station/model/case.cpp|#include \"record.h\"|passed"
    "page includes the model|station/page/case.cpp|#include \"events.h\"|passed"
    "a header outside the station|station/model/case.cpp|#include \"diagnosis.h\"|passed")
else()
  message(FATAL_ERROR "give -DSOURCE_DIR=DIR or -DSCRATCH=DIR")
endif()
