# Install rules (cmake --install <build> [--prefix P] [--strip], DESTDIR respected):
#
#   <sbindir>/ostra                           the daemon
#   <prefix>/lib/systemd/system/ostra.service systemd unit (or OSTRA_SYSTEMD_UNIT_DIR)
#   <sysconfdir>/init.d/ostra                 SysV/BusyBox init script (or OSTRA_INIT_SCRIPT_DIR)
#   <datadir>/ostra/ostra.xml                 sample settings, to copy to /talpa/bin/ostra.xml
#   <mandir>/man8/ostra.8                     manual page
#   <docdir>/LICENSE, <docdir>/examples/ostra-relay.py
#
# Every path follows the prefix in force when installing, whether it was given
# when configuring (-DCMAKE_INSTALL_PREFIX=/usr) or to cmake --install
# --prefix: the unit and the init script name the daemon by its installed
# path and the system configuration directory depends on the prefix (/etc
# for /usr, as GNUInstallDirs has it), so both are made at install time
# (cmake/OstraInstallService.cmake). ostra-producer and its manual page are
# the component "producer", installed only when asked for:
# cmake --install <build> --component producer.
include(GNUInstallDirs)

set(OSTRA_SYSTEMD_UNIT_DIR "" CACHE PATH "Directory of the systemd unit (empty: <prefix>/lib/systemd/system)")
set(OSTRA_INIT_SCRIPT_DIR "" CACHE PATH "Directory of the init script (empty: <sysconfdir>/init.d)")
# Build folders configured when these were fixed at configure time hold that default: it follows the prefix now.
if(OSTRA_SYSTEMD_UNIT_DIR STREQUAL "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
  set_property(CACHE OSTRA_SYSTEMD_UNIT_DIR PROPERTY VALUE "")
endif()
if(OSTRA_INIT_SCRIPT_DIR STREQUAL "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d")
  set_property(CACHE OSTRA_INIT_SCRIPT_DIR PROPERTY VALUE "")
endif()

install(TARGETS ostra RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT daemon)
install(
  CODE "set(OSTRA_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")
set(OSTRA_BINARY_DIR \"${CMAKE_BINARY_DIR}\")
set(OSTRA_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
set(OSTRA_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
set(OSTRA_SYSTEMD_UNIT_DIR \"${OSTRA_SYSTEMD_UNIT_DIR}\")
set(OSTRA_INIT_SCRIPT_DIR \"${OSTRA_INIT_SCRIPT_DIR}\")
include(\"${CMAKE_SOURCE_DIR}/cmake/OstraInstallService.cmake\")"
  COMPONENT daemon)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/ostra.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/ostra COMPONENT daemon)
install(FILES ${CMAKE_SOURCE_DIR}/doc/ostra.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT daemon)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT daemon)
install(FILES ${CMAKE_SOURCE_DIR}/tools/relay/ostra-relay.py DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        COMPONENT daemon)

if(TARGET ostra-producer)
  install(TARGETS ostra-producer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT producer EXCLUDE_FROM_ALL)
  install(FILES ${CMAKE_SOURCE_DIR}/doc/ostra-producer.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT producer
          EXCLUDE_FROM_ALL)
endif()
