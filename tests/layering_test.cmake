# Dependencies point down: no file under drivers/ includes a header of the
# companion programs (station/, diagnose/) or of the tests (tests/), nor
# leaves the process with exit(). Run with cmake -P:
#   -DSOURCE_DIR=DIR   check the tree at DIR
#   -DSCRATCH=DIR      check the check itself on small trees made in DIR

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

if(SOURCE_DIR)
  layering_breaches(${SOURCE_DIR} breaches)
  if(breaches)
    message(FATAL_ERROR "drivers/ must not depend on the programs above it:\n${breaches}")
  endif()
elseif(SCRATCH)
  # Each case: a file under drivers/ with the line given, beside the tree's
  # own headers, and whether the check must object to it.
  set(cases
    "station header by name|#include \"driver_options.h\"|caught"
    "test header by a relative path|#include \"../../tests/support/fixture.h\"|caught"
    "companion header from the top|#include <station/station.h>|caught"
    "station header in a subfolder|#include \"sim/demo_chips.h\"|caught"
    "diagnose header|#include \"render.h\"|caught"
    "a call of exit|    std::exit(2)|caught"
    "the driver's own header|#include \"mpsse_chip.h\"|passed"
    "a header of the engine|#include \"device_link/chip_kinds.h\"|passed"
    "a system header|#include <string>|passed"
    "libusb's exit|    libusb_exit(context)|passed")
  foreach(case IN LISTS cases)
    string(REPLACE "|" ";" fields "${case}")
    list(GET fields 0 what)
    list(GET fields 1 text)
    list(GET fields 2 expected)
    set(tree ${SCRATCH}/tree)
    file(REMOVE_RECURSE ${tree})
    foreach(header station/driver_options.h station/station.h station/sim/demo_chips.h diagnose/render.h
                   tests/support/fixture.h tests/support/mpsse_chip.h drivers/sim/mpsse_chip.h
                   src/device_link/chip_kinds.h)
      file(WRITE ${tree}/${header} "#pragma once\n")
    endforeach()
    file(WRITE ${tree}/drivers/sim/case.cpp "${text}\n")
    layering_breaches(${tree} breaches)
    if(expected STREQUAL "caught" AND NOT breaches)
      message(SEND_ERROR "not caught: ${what}: ${text}")
    elseif(expected STREQUAL "passed" AND breaches)
      message(SEND_ERROR "wrongly caught: ${what}: ${breaches}")
    endif()
  endforeach()
else()
  message(FATAL_ERROR "give -DSOURCE_DIR=DIR or -DSCRATCH=DIR")
endif()
