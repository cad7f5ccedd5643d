# What an installation holds, and the packages cpack makes of it:
#   Linux:   bin/vexlor, bin/vexlor-monitor-sim, both manual pages (gzipped,
#            as Debian keeps them), the copyright file, the changelog and
#            the README;
#            cpack makes vexlor_<version>_<arch>.deb.
#   Windows: Vexlor.exe (linked statically) and README.txt at the top of
#            vexlor-<version>-win64.zip.
# tools/package.sh builds both and checks them.
include(GNUInstallDirs)

set(VEXLOR_MAINTAINER "Vexlor developers <vexlor@localhost>"
    CACHE STRING "Maintainer field of the .deb")

if(WIN32)
  install(TARGETS vexlor RUNTIME DESTINATION .)
  # Read on Windows, where Notepad of older releases wants CR LF.
  configure_file(doc/windows-readme.txt ${CMAKE_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
else()
  install(TARGETS vexlor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The simulated monitor gets a name of its own on PATH, so that it cannot be
  # taken for another program; the build tree keeps the short name the tests
  # and the demo use.
  install(PROGRAMS $<TARGET_FILE:monitor-sim>
    DESTINATION ${CMAKE_INSTALL_BINDIR}
    RENAME vexlor-monitor-sim)
  # install(PROGRAMS) leaves a file as it is; strip it as install(TARGETS)
  # strips vexlor, when the install is asked to (cpack, cmake --install --strip).
  if(CMAKE_STRIP)
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\"
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/vexlor-monitor-sim\")
    endif()")
  endif()

  # Manual pages and the changelog go in gzipped, as Debian keeps them (-n: no
  # name or time stamp inside, so the same text packs to the same bytes).
  # Without gzip they go in as they are, which man reads just as well.
  find_program(VEXLOR_GZIP gzip)
  set(VEXLOR_PACKED_FILES)
  foreach(szFile doc/vexlor.1 tools/monitor-sim/vexlor-monitor-sim.1 doc/changelog)
    get_filename_component(szName ${szFile} NAME)
    set(szIn ${PROJECT_SOURCE_DIR}/${szFile})
    set(szOut ${szIn})
    if(VEXLOR_GZIP)
      set(szOut ${CMAKE_BINARY_DIR}/packed/${szName}.gz)
      add_custom_command(OUTPUT ${szOut}
        COMMAND ${CMAKE_COMMAND} -E copy ${szIn} ${CMAKE_BINARY_DIR}/packed/${szName}
        COMMAND ${VEXLOR_GZIP} -9nf ${CMAKE_BINARY_DIR}/packed/${szName}
        DEPENDS ${szIn}
        COMMENT "Compressing ${szName}"
        VERBATIM)
    endif()
    list(APPEND VEXLOR_PACKED_FILES ${szOut})
    set(VEXLOR_PACKED_${szName} ${szOut})
  endforeach()
  add_custom_target(vexlor_packed_docs ALL DEPENDS ${VEXLOR_PACKED_FILES})
  install(FILES ${VEXLOR_PACKED_vexlor.1} ${VEXLOR_PACKED_vexlor-monitor-sim.1}
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${VEXLOR_PACKED_changelog} doc/copyright README.md
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME vexlor)
set(CPACK_PACKAGE_VENDOR "Vexlor developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "dumps a target device's memory through its serial monitor")
set(CPACK_PACKAGE_CONTACT ${VEXLOR_MAINTAINER})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES TRUE)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME vexlor-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VEXLOR_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries the binaries were linked against, as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "\
Vexlor reads out the memory of a target device over a serial line by driving\n\
the device's text-mode monitor: it walks an address range in blocks of 128\n\
bytes, sends the monitor's bank, offset and dump commands for each, and writes\n\
the bytes of the dump lines to a binary capture file.\n\
.\n\
The package also holds vexlor-monitor-sim, a simulated monitor on a\n\
pseudo-terminal, for trying Vexlor without hardware.")
endif()

include(CPack)
