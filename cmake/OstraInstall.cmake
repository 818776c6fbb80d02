# Install rules (cmake --install <build> [--strip], DESTDIR respected):
#
#   <sbindir>/ostra                           the daemon
#   <prefix>/lib/systemd/system/ostra.service systemd unit (OSTRA_SYSTEMD_UNIT_DIR)
#   <sysconfdir>/init.d/ostra                 SysV/BusyBox init script (OSTRA_INIT_SCRIPT_DIR)
#   <datadir>/ostra/ostra.xml                 sample settings, to copy to /talpa/bin/ostra.xml
#
# The unit and the init script name the daemon by its installed path, so the
# prefix is fixed at configure time (-DCMAKE_INSTALL_PREFIX=/usr for a root
# file system). ostra-producer is the component "producer", installed only
# when asked for: cmake --install <build> --component producer.
include(GNUInstallDirs)

set(OSTRA_SYSTEMD_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" CACHE PATH "Directory of the systemd unit")
set(OSTRA_INIT_SCRIPT_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d" CACHE PATH "Directory of the init script")

set(OSTRA_DAEMON_PATH "${CMAKE_INSTALL_FULL_SBINDIR}/ostra")
configure_file(${CMAKE_SOURCE_DIR}/packaging/ostra.service.in ${CMAKE_BINARY_DIR}/packaging/ostra.service @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/ostra.init.in ${CMAKE_BINARY_DIR}/packaging/ostra.init @ONLY)

install(TARGETS ostra RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT daemon)
install(FILES ${CMAKE_BINARY_DIR}/packaging/ostra.service DESTINATION ${OSTRA_SYSTEMD_UNIT_DIR} COMPONENT daemon)
install(PROGRAMS ${CMAKE_BINARY_DIR}/packaging/ostra.init DESTINATION ${OSTRA_INIT_SCRIPT_DIR} RENAME ostra
        COMPONENT daemon)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/ostra.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/ostra COMPONENT daemon)

if(TARGET ostra-producer)
  install(TARGETS ostra-producer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT producer EXCLUDE_FROM_ALL)
endif()
