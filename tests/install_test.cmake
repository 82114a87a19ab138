# Installs the build into a scratch prefix and checks what lands there.
# Run with cmake -P.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE installed OUTPUT_QUIET)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
foreach(file bin/wiretest bin/wiretest-diagnose bin/wiretest-station share/man/man1/wiretest.1
             share/man/man1/wiretest-diagnose.1 share/man/man1/wiretest-station.1
             lib/udev/rules.d/60-wiretest.rules lib/systemd/system/wiretest-station.service
             share/wiretest/prometheus/wiretest-station-rules.yml share/wiretest/grafana/wiretest-station-dashboard.json)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
file(GLOB everything RELATIVE ${PREFIX} ${PREFIX}/*/* ${PREFIX}/*/*/* ${PREFIX}/*/*/*/*)
list(FILTER everything EXCLUDE REGEX "^(bin|share|share/man|share/man/man1|share/wiretest|share/wiretest/grafana|share/wiretest/prometheus|lib|lib/udev|lib/udev/rules.d|lib/systemd|lib/systemd/system)$")
list(SORT everything)
if(NOT everything STREQUAL "bin/wiretest;bin/wiretest-diagnose;bin/wiretest-station;lib/systemd/system/wiretest-station.service;lib/udev/rules.d/60-wiretest.rules;share/man/man1/wiretest-diagnose.1;share/man/man1/wiretest-station.1;share/man/man1/wiretest.1;share/wiretest/grafana/wiretest-station-dashboard.json;share/wiretest/prometheus/wiretest-station-rules.yml")
  message(FATAL_ERROR "installed: ${everything}")
endif()
file(STRINGS ${PREFIX}/lib/udev/rules.d/60-wiretest.rules rules REGEX "idProduct")
foreach(product 6010 6011 6014)
  string(FIND "${rules}" "ATTRS{idProduct}==\"${product}\", MODE=\"660\", GROUP=\"plugdev\", TAG+=\"uaccess\"" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "no rule for 0403:${product}")
  endif()
endforeach()
# The service starts the station this install put in place, whatever the prefix.
file(STRINGS ${PREFIX}/lib/systemd/system/wiretest-station.service exec_start REGEX "^ExecStart=")
if(NOT exec_start STREQUAL "ExecStart=${PREFIX}/bin/wiretest-station --wait --records /var/lib/wiretest/records")
  message(FATAL_ERROR "the unit starts: ${exec_start}")
endif()
