# What `cmake --install` puts where, relative to the prefix: programs in games/,
# man pages in share/man/man6, the desktop entry, icons and metainfo under share/,
# the host's guides and the HAProxy example in share/doc/mazecar-server, and the
# server's systemd unit when MAZECAR_INSTALL_SYSTEMD_UNIT is ON.
set(pkg ${PROJECT_SOURCE_DIR}/packaging)

if(TARGET mazecar)
  install(TARGETS mazecar RUNTIME DESTINATION ${MAZECAR_INSTALL_GAMESDIR})
  install(PROGRAMS ${pkg}/mazecar-launch DESTINATION ${MAZECAR_INSTALL_GAMESDIR})
  install(FILES ${pkg}/mazecar.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES docs/man/mazecar.6 docs/man/mazecar-launch.6 DESTINATION ${CMAKE_INSTALL_MANDIR}/man6)
  install(FILES ${pkg}/mazecar.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(FILES ${pkg}/mazecar.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
  install(FILES ${pkg}/io.github.mazecar.Mazecar.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

install(TARGETS mazecar-server RUNTIME DESTINATION ${MAZECAR_INSTALL_GAMESDIR})
install(FILES docs/man/mazecar-server.6 DESTINATION ${CMAKE_INSTALL_MANDIR}/man6)

install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The host's guides, which the server's man page and --help name.
install(FILES docs/HOSTING.md docs/SCALING.md DESTINATION ${MAZECAR_SERVER_DOCDIR})
install(FILES deploy/haproxy/haproxy.cfg DESTINATION ${MAZECAR_SERVER_DOCDIR}/examples)

# The service: the unit names the installed server and defaults file by their full
# paths, so it is made for the prefix given at configure time.
if(MAZECAR_INSTALL_SYSTEMD_UNIT)
  if(IS_ABSOLUTE "${MAZECAR_INSTALL_GAMESDIR}")
    set(MAZECAR_SERVER_PATH "${MAZECAR_INSTALL_GAMESDIR}/mazecar-server")
  else()
    set(MAZECAR_SERVER_PATH "${CMAKE_INSTALL_PREFIX}/${MAZECAR_INSTALL_GAMESDIR}/mazecar-server")
  endif()
  set(MAZECAR_DEFAULTS_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/mazecar-server")
  configure_file(${pkg}/mazecar-server.service.in ${PROJECT_BINARY_DIR}/mazecar-server.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/mazecar-server.service DESTINATION ${MAZECAR_SYSTEMD_UNITDIR})
  # Several servers on one machine (a fleet), one instance per listen address.
  configure_file(${pkg}/mazecar-server@.service.in ${PROJECT_BINARY_DIR}/mazecar-server@.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/mazecar-server@.service DESTINATION ${MAZECAR_SYSTEMD_UNITDIR})
  install(FILES ${pkg}/mazecar-server.default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
          RENAME mazecar-server)
endif()
