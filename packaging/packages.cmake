# The packages of `make package`, built from the install rules of the
# top-level CMakeLists.txt, so that the package and `cmake --install` put
# the same files in place.
#
# Debian (CPack's DEB generator): build/wiretest_<version>_<arch>.deb. The
# install rules fill a staging tree under /usr; deb_staging.cmake then swaps
# each man page for its gzipped copy built here and adds the copyright and
# changelog. Depends comes from dpkg-shlibdeps.
#
# Windows: the target windows_zip packs the .exe files of the cross build
# (build-windows/) with README.txt and the license, the simulated demo in its
# folder demo/ (windows_zip.cmake).

# Built with every build, so that a package needs no more than `cpack`.
set(WIRETEST_DEB_FILES_DIR ${CMAKE_BINARY_DIR}/deb-files)
set(deb_files ${WIRETEST_DEB_FILES_DIR}/copyright)
foreach(source ${WIRETEST_MAN_PAGES} packaging/debian/changelog)
  get_filename_component(name ${source} NAME)
  set(gzipped ${WIRETEST_DEB_FILES_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${gzipped}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${source} ${WIRETEST_DEB_FILES_DIR}/${name}
    COMMAND gzip -9nf ${WIRETEST_DEB_FILES_DIR}/${name}
    DEPENDS ${PROJECT_SOURCE_DIR}/${source}
    VERBATIM)
  list(APPEND deb_files ${gzipped})
endforeach()

# The copyright file in Debian's machine-readable format, its license text
# taken from LICENSE (the text after the copyright line): lines indented by
# one space, empty lines as " .".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(FIND "${license}" "Permission is hereby granted" permission_at)
string(SUBSTRING "${license}" ${permission_at} -1 license_text)
string(STRIP "${license_text}" license_text)
string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " license_text " ${license_text}")
file(WRITE ${WIRETEST_DEB_FILES_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: wiretest

Files: *
Copyright: 2026 The wiretest developers
License: Expat
${license_text}
")
add_custom_target(deb_files ALL DEPENDS ${deb_files})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wiretest)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The build's own architecture, not the host's that CPack would ask dpkg
# for: a cross build makes the target's package.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${WIRETEST_ARCHITECTURE})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_CONTACT "The wiretest developers <maintainers@users.noreply.c-seed-55a1b41c.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The station loads the database libraries when a run uses one, so
# dpkg-shlibdeps does not see them (CPack adds these to what it finds).
# SQLite is small and holds the records of sqlite: and the outbox of every
# server run; libpq, with its twenty libraries, is needed only where a
# station writes to the line's server, and the station says so when it is
# missing: apt installs it by default, and a lean station may go without.
set(recommended "")
if(WIRETEST_DATABASES)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsqlite3-0 (>= 3.7.14)")
  list(APPEND recommended "libpq5 (>= 9.0~)")
endif()
list(JOIN recommended ", " CPACK_DEBIAN_PACKAGE_RECOMMENDS)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check the pin-for-pin wiring of FTDI MPSSE boards")
# The synopsis line is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "wiretest checks a board built around an FTDI high-speed USB chip with an
MPSSE engine (FT2232H, FT4232H, FT232H). It drives bit patterns on the
chip's low GPIO byte, reads the high GPIO byte back after each, prints
every driven and read byte as two bit strings, and ends with the number
of patterns that did not come back unchanged. A board passes when each
low pin is wired to the high pin of the same number.

wiretest-diagnose reads such a report, names the faulty pins (stuck,
inverted, crossed, shorted) with their partner pins, and exits 0 for a
pass, 1 for a fail and 2 for a report it cannot judge.

wiretest-station tests boards found by the USB port they are plugged
into (blank and copied serial numbers included), several at once, and
keeps a record of each as JSON and JUnit XML for a line's test systems.

It reaches the chip through libftdi1. The udev rules of the package give
the logged-in user and the group plugdev access to these chips. The
systemd unit wiretest-station.service, disabled until enabled, runs the
station on every board plugged in, as on a line's station computer.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/deb_staging.cmake)
# Read by deb_staging.cmake: CPack hands every CPACK_ variable to its scripts.
set(CPACK_WIRETEST_DEB_FILES_DIR ${WIRETEST_DEB_FILES_DIR})
set(CPACK_WIRETEST_STRIP ${CMAKE_STRIP})
include(CPack)

# After cpack, `make package` builds this too; without a Windows build it
# only says so.
set(WIRETEST_WINDOWS_BUILD_DIR ${PROJECT_SOURCE_DIR}/build-windows CACHE PATH
    "The Windows cross build whose .exe files windows_zip packs")
add_custom_target(windows_zip
  COMMAND ${CMAKE_COMMAND} -DWINDOWS_DIR=${WIRETEST_WINDOWS_BUILD_DIR} -DVERSION=${PROJECT_VERSION}
          -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -P ${PROJECT_SOURCE_DIR}/packaging/windows_zip.cmake
  VERBATIM)
