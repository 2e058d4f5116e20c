# Install layout (PREFIX defaults to /usr/local; DESTDIR is honoured):
#   bin/                          zolf, mirt, rekkon, zolf-client, mirt-probe
#                                 (those that are built)
#   share/man/man1, man5, man8    the manual pages, named after the programs
#   share/doc/zolf-mirt/          operators' guide, README
#   share/doc/zolf-mirt/examples  example configurations and demo trees
#   share/doc/zolf-mirt/systemd   service units, ExecStart set to bin/ above
#   share/doc/zolf-mirt/logrotate rules for Debian's logrotate
# scripts/install.sh runs these rules and keeps the list of installed files
# and of the directories it made, which scripts/uninstall.sh reads.
include(GNUInstallDirs)

set(SUITE_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/zolf-mirt)

# The test clients keep their short names in the build directory; in a
# shared bin/ they carry the name of the server they belong to, so that
# they cannot clash with other programs called client or probe.
foreach(program zolf mirt rekkon)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
foreach(pair client:zolf-client probe:mirt-probe)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 target)
  list(GET pair 1 installed)
  if(TARGET ${target})
    install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION ${CMAKE_INSTALL_BINDIR}
            RENAME ${installed})
  endif()
endforeach()

set(SUITE_MAN_PAGES
  man/zolf-client.1 man/mirt-probe.1 man/rekkon.1
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
    install(FILES ${CMAKE_SOURCE_DIR}/${doc} DESTINATION ${SUITE_DOC_DIR})
  endif()
endforeach()

# The examples are the files the repository tracks, demo trees included, so
# that an operator starts from a configuration known to work; what a demo
# run left in the working tree (uploads, logs, quota records, the generated
# demo account) is not tracked and stays out. The list is taken when
# installing, so it is never older than the checkout. Outside a git
# checkout (a release tarball) the directory is copied without those files.
if(EXISTS ${CMAKE_SOURCE_DIR}/examples)
  install(CODE "
    set(source \"${CMAKE_SOURCE_DIR}\")
    set(dest \"\${CMAKE_INSTALL_PREFIX}/${SUITE_DOC_DIR}/examples\")
    execute_process(COMMAND git -c core.quotePath=false -C \"\${source}\"
                            ls-files -- examples
                    OUTPUT_VARIABLE tracked RESULT_VARIABLE git_failed
                    ERROR_QUIET)
    if(git_failed EQUAL 0 AND NOT tracked STREQUAL \"\")
      string(REPLACE \"\\n\" \";\" tracked \"\${tracked}\")
      foreach(file \${tracked})
        if(file STREQUAL \"\")
          continue()
        endif()
        get_filename_component(dir \"\${file}\" DIRECTORY)
        string(REGEX REPLACE \"^examples/?\" \"\" dir \"\${dir}\")
        file(INSTALL \"\${source}/\${file}\" DESTINATION \"\${dest}/\${dir}\"
             USE_SOURCE_PERMISSIONS)
      endforeach()
    else()
      file(INSTALL \"\${source}/examples/\" DESTINATION \"\${dest}\"
           USE_SOURCE_PERMISSIONS
           PATTERN \"log[0-9][0-9][0-9][0-9].log\" EXCLUDE
           PATTERN \"*.dsk\" EXCLUDE
           REGEX \"/ftp/accounts/demo\\\\.ini$\" EXCLUDE)
    endif()")
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
          DESTINATION ${SUITE_DOC_DIR}/systemd)
endforeach()

install(FILES ${CMAKE_SOURCE_DIR}/contrib/logrotate/zolf ${CMAKE_SOURCE_DIR}/contrib/logrotate/mirt
        DESTINATION ${SUITE_DOC_DIR}/logrotate)
