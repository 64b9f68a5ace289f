# The Debian package of the Linux programs, orvel_<version>_<arch>.deb:
#   scripts/build --release   (build/native/release/; or: cmake --build build/native --target package)
# orvel and xkt-sim in /usr/bin, their man pages, bash completion for orvel,
# and in /usr/share/doc/orvel the copyright (the licence), the changelog and
# an example udev rule. Dependencies come from dpkg-shlibdeps.
set(XKT_DEB_DIR ${CMAKE_CURRENT_LIST_DIR})
set(XKT_DEB_STAGE ${CMAKE_BINARY_DIR}/deb-files)
set(XKT_DEB_CONTACT "The Orvel developers <orvel@example.org>")
file(MAKE_DIRECTORY ${XKT_DEB_STAGE})

# Man pages and changelog, compressed as Debian wants them: gzip -9, no name
# or time stamp in the header, so the same sources give the same bytes.
foreach(page orvel.1 xkt-sim.1)
  configure_file(${XKT_DEB_DIR}/${page} ${XKT_DEB_STAGE}/${page} @ONLY)
endforeach()
# The build's time (SOURCE_DATE_EPOCH, cmake/BuildFlags.cmake), not today's.
string(TIMESTAMP XKT_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${XKT_DEB_STAGE}/changelog
  "orvel (${XKT_VERSION}) unstable; urgency=medium\n\n"
  "  * Orvel ${XKT_VERSION}.\n\n"
  " -- ${XKT_DEB_CONTACT}  ${XKT_DEB_DATE}\n")

# The copyright file in Debian's machine-readable form, around LICENSE.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE xkt_license)
string(REGEX REPLACE "^MIT License\n\nCopyright [^\n]*\n\n" "" xkt_license "${xkt_license}")
string(REGEX REPLACE "\n$" "" xkt_license "${xkt_license}")
string(REGEX REPLACE "\n\n" "\n.\n" xkt_license "${xkt_license}")
string(REGEX REPLACE "\n" "\n " xkt_license "${xkt_license}")
file(WRITE ${XKT_DEB_STAGE}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: Orvel\n\n"
  "Files: *\n"
  "Copyright: 2026 The Orvel developers\n"
  "License: Expat\n\n"
  "License: Expat\n ${xkt_license}\n")

find_program(XKT_GZIP gzip REQUIRED)
set(xkt_gzipped "")
foreach(file orvel.1 xkt-sim.1 changelog)
  add_custom_command(OUTPUT ${XKT_DEB_STAGE}/${file}.gz
    COMMAND ${XKT_GZIP} -9 -n -c ${XKT_DEB_STAGE}/${file} > ${XKT_DEB_STAGE}/${file}.gz
    DEPENDS ${XKT_DEB_STAGE}/${file}
    COMMENT "Compressing ${file}")
  list(APPEND xkt_gzipped ${XKT_DEB_STAGE}/${file}.gz)
endforeach()
add_custom_target(deb_files ALL DEPENDS ${xkt_gzipped})

# The folders the install makes get these modes, not the builder's umask:
# under umask 0002 they came out group-writable, in the package too.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS orvel xkt-sim RUNTIME DESTINATION bin)
# The compiler's and start files' version notes (.comment) tell a user
# nothing, and Debian strips them from its programs as well.
install(CODE "
  foreach(program orvel xkt-sim)
    execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
                            \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/\${program}
                    COMMAND_ERROR_IS_FATAL ANY)
  endforeach()")
install(FILES ${XKT_DEB_STAGE}/orvel.1.gz ${XKT_DEB_STAGE}/xkt-sim.1.gz DESTINATION share/man/man1)
install(FILES ${XKT_DEB_DIR}/orvel.bash-completion DESTINATION share/bash-completion/completions
        RENAME orvel)
install(FILES ${XKT_DEB_STAGE}/copyright ${XKT_DEB_STAGE}/changelog.gz ${XKT_DEB_DIR}/60-orvel.rules
        DESTINATION share/doc/orvel)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvel)
set(CPACK_PACKAGE_VERSION ${XKT_VERSION})
set(CPACK_PACKAGE_CONTACT ${XKT_DEB_CONTACT})
set(CPACK_PACKAGE_VENDOR "The Orvel developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "command line for the Orvel high-voltage measuring instrument")
set(CPACK_PACKAGE_DESCRIPTION
  "orvel finds the instrument on a serial line, downloads its three data sets\n"
  "(readings in kV, uA and kOhm) into text files and erases them, with the\n"
  "timing, messages and file rules of the Orvel dialog program for Windows.\n"
  "xkt-sim plays the instrument on a pseudo-terminal, for trying orvel\n"
  "without one.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# cpack stamps the package's files with SOURCE_DATE_EPOCH from its
# environment: the build's own, however cpack is started.
if(XKT_SOURCE_DATE_EPOCH)
  file(WRITE ${CMAKE_BINARY_DIR}/CPackEpoch.cmake "set(ENV{SOURCE_DATE_EPOCH} ${XKT_SOURCE_DATE_EPOCH})\n")
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackEpoch.cmake)
endif()
include(CPack)
