# Install layout (PREFIX defaults to /usr/local; DESTDIR is honoured):
#   bin/                          the five programs (those that are built)
#   share/man/man1, man5, man8    the manual pages
#   share/doc/<project>/          operators' guide, README
#   share/doc/<project>/examples  example configurations and demo trees
#   share/doc/<project>/systemd   service units, ExecStart set to bin/ above
# cmake --install writes install_manifest.txt, which `make uninstall` reads.
include(GNUInstallDirs)

foreach(program zolf mirt rekkon client probe)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

set(SUITE_MAN_PAGES
  man/client.1 man/probe.1 man/rekkon.1
  man/zolf.ini.5 man/mirt.ini.5
  man/zolf.8 man/mirt.8)
foreach(page ${SUITE_MAN_PAGES})
  get_filename_component(section ${page} EXT)
  string(REGEX REPLACE ".*\\." "" section "${section}")
  install(FILES ${CMAKE_SOURCE_DIR}/${page}
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()

foreach(doc README.md docs/operators.md)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${doc})
    install(FILES ${CMAKE_SOURCE_DIR}/${doc} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
endforeach()

# The examples are copied as they are, demo trees included, so that an
# operator can start from a configuration known to work; what a `make demo`
# run leaves behind stays out: log files, quota records, and the demo account
# that examples/ftp/make-demo-account.sh writes for the tree it lies in (it
# is installed too, to write one for the installed copy).
if(EXISTS ${CMAKE_SOURCE_DIR}/examples)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
          USE_SOURCE_PERMISSIONS
          PATTERN "log[0-9][0-9][0-9][0-9].log" EXCLUDE
          PATTERN "*.dsk" EXCLUDE
          REGEX "/ftp/accounts/demo\\.ini$" EXCLUDE)
endif()

# The units in contrib/ name /usr/local/bin; the installed copies name the
# bin/ of the prefix actually installed to (cmake --install --prefix decides
# it at install time, so the substitution runs then too).
set(SUITE_UNIT_DIR ${CMAKE_BINARY_DIR}/ops/systemd)
foreach(unit zolf.service mirt.service)
  install(CODE "
    file(READ \"${CMAKE_SOURCE_DIR}/contrib/systemd/${unit}\" unit_text)
    string(REPLACE \"/usr/local/bin/\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\"
           unit_text \"\${unit_text}\")
    file(WRITE \"${SUITE_UNIT_DIR}/${unit}\" \"\${unit_text}\")")
  install(FILES ${SUITE_UNIT_DIR}/${unit}
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/systemd)
endforeach()
