# What `cmake --install` puts where, and the packages CPack makes of it: a Debian package on
# Linux, a ZIP in the Windows (MinGW) build. The version is the one of project() everywhere.
include(GNUInstallDirs)

if(WIN32)
  # The ZIP unpacks to one folder: the program, the guide and the licence side by side, the texts
  # with the CR LF line ends of Windows, which Notepad of old needs to show more than one line.
  install(TARGETS hotbatch RUNTIME DESTINATION .)
  foreach(text README.md LICENSE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${text})
    file(READ ${PROJECT_SOURCE_DIR}/${text} content)
    string(REPLACE "\r\n" "\n" content "${content}")
    string(REPLACE "\n" "\r\n" content "${content}")
    file(WRITE ${PROJECT_BINARY_DIR}/crlf/${text} "${content}")
  endforeach()
  install(FILES ${PROJECT_BINARY_DIR}/crlf/README.md DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/crlf/LICENSE DESTINATION . RENAME LICENSE.txt)
else()
  install(TARGETS hotbatch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # The manual page as installed: the source's .TH line gains the version, then it is compressed
  # as Debian keeps its manual pages (man reads both forms).
  set(HOTBATCH_MAN_SOURCE ${PROJECT_SOURCE_DIR}/docs/hotbatch.1)
  set(HOTBATCH_MAN_PAGE ${PROJECT_BINARY_DIR}/hotbatch.1)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${HOTBATCH_MAN_SOURCE})
  file(READ ${HOTBATCH_MAN_SOURCE} man_text)
  string(REGEX REPLACE "\n(\\.TH HOTBATCH 1 [^ \n]+) hotbatch " "\n\\1 \"hotbatch ${PROJECT_VERSION}\" "
         man_text "${man_text}")
  file(WRITE ${HOTBATCH_MAN_PAGE} "${man_text}")
  find_program(GZIP_PROGRAM gzip)
  if(GZIP_PROGRAM)
    execute_process(COMMAND ${GZIP_PROGRAM} -9 -n -c ${HOTBATCH_MAN_PAGE}
                    OUTPUT_FILE ${HOTBATCH_MAN_PAGE}.gz RESULT_VARIABLE gzip_result)
  endif()
  if(GZIP_PROGRAM AND gzip_result EQUAL 0)
    install(FILES ${HOTBATCH_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${HOTBATCH_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()

  # The service template finds the program by its bare name, so one unit serves /usr/local and
  # /usr installs; systemd reads units from lib/systemd/system under both.
  install(FILES examples/hotbatch@.service DESTINATION lib/systemd/system)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  install(FILES examples/hotbatch-example.conf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

  if(BUILD_TESTING)
    # The manual page must render without a single groff or man warning.
    add_test(NAME ship.man_page_renders
             COMMAND sh ${PROJECT_SOURCE_DIR}/tests/ship/check-man-page.sh ${HOTBATCH_MAN_PAGE})
    set_tests_properties(ship.man_page_renders PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endif()

set(CPACK_PACKAGE_NAME hotbatch)
set(CPACK_PACKAGE_VENDOR "the hotbatch developers")
set(CPACK_PACKAGE_CONTACT "the hotbatch developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "runs a command for every file that arrives in a hot folder")
# Debian shows the first line as the summary and this text, kept under 80 columns, below it.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "hotbatch looks through a folder (optionally its whole tree) for files whose\n"
  "names match a wildcard pattern, waits until each one is complete and runs a\n"
  "command line for it, with placeholders for the file's path and name. It can\n"
  "keep a run log, copy failed files into an error folder, write a success file\n"
  "per job and delete each file after its job, in one pass or looping as a\n"
  "service (a systemd template unit is included).")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME hotbatch-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # hotbatch_<version>_amd64.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)   # libc6, libstdc++6, libgcc-s1 at the built versions
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "systemd")
endif()

include(CPack)
