# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the staging tree of the Debian
# package, after the install rules have filled it: the executables are
# stripped, each man page becomes the gzipped copy built beside it, and
# /usr/share/doc/wiretest gets the copyright and the changelog, as Debian
# policy wants them.
set(usr ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(built ${CPACK_WIRETEST_DEB_FILES_DIR})
set(read_only OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# As dh_strip does: no debugging symbols, nor the compiler's notes.
file(GLOB executables ${usr}/bin/*)
foreach(executable ${executables})
  execute_process(COMMAND ${CPACK_WIRETEST_STRIP} --remove-section=.comment --remove-section=.note
                          --strip-unneeded ${executable} COMMAND_ERROR_IS_FATAL ANY)
endforeach()

file(GLOB pages ${usr}/share/man/man*/*)
foreach(page ${pages})
  get_filename_component(name ${page} NAME)
  get_filename_component(section_dir ${page} DIRECTORY)
  if(NOT EXISTS ${built}/${name}.gz)
    message(FATAL_ERROR "man page ${name} is installed but has no gzipped copy: add it to WIRETEST_MAN_PAGES")
  endif()
  file(REMOVE ${page})
  file(COPY ${built}/${name}.gz DESTINATION ${section_dir} FILE_PERMISSIONS ${read_only})
endforeach()

# The changelog names the version it describes; a package of another
# version would carry a changelog that lies.
execute_process(COMMAND gzip -dc ${built}/changelog.gz OUTPUT_VARIABLE changelog COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "^[^\n]*" first_line "${changelog}")
if(NOT first_line MATCHES "^wiretest \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog starts with '${first_line}', not version ${CPACK_PACKAGE_VERSION}")
endif()

file(COPY ${built}/copyright ${built}/changelog.gz
     DESTINATION ${usr}/share/doc/${CPACK_PACKAGE_NAME} FILE_PERMISSIONS ${read_only})

# dpkg-shlibdeps, run by CPack after this script, looks for the libraries the
# executables need in the folders of the architecture dpkg-architecture names
# as the host: for a cross build that must be the package's.
set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
