# Run by cmake --install (see OstraInstall.cmake): makes the systemd unit and
# the init script for the prefix in force now, CMAKE_INSTALL_PREFIX, and
# installs them. Given: OSTRA_SOURCE_DIR, OSTRA_BINARY_DIR, OSTRA_SBINDIR and
# OSTRA_SYSCONFDIR (GNUInstallDirs' relative or absolute directories), and the
# directories OSTRA_SYSTEMD_UNIT_DIR and OSTRA_INIT_SCRIPT_DIR when they are
# fixed (else empty).

# A directory below the prefix, as GNUInstallDirs makes its full paths: an
# absolute one stays; the system configuration directory of prefix / or
# /usr is /etc, of /opt/<name> /etc/opt/<name>.
function(ostra_full_dir result dir kind)
  string(REGEX REPLACE "(.)/+$" "\\1" prefix "${CMAKE_INSTALL_PREFIX}")
  if(IS_ABSOLUTE "${dir}")
    set(full "${dir}")
  elseif(kind STREQUAL "sysconf" AND prefix MATCHES "^/(usr)?$")
    set(full "/${dir}")
  elseif(kind STREQUAL "sysconf" AND prefix MATCHES "^/opt/")
    set(full "/${dir}${prefix}")
  elseif(prefix STREQUAL "/")
    set(full "/${dir}")
  else()
    set(full "${prefix}/${dir}")
  endif()
  set(${result} "${full}" PARENT_SCOPE)
endfunction()

ostra_full_dir(sbindir "${OSTRA_SBINDIR}" plain)
ostra_full_dir(sysconfdir "${OSTRA_SYSCONFDIR}" sysconf)
set(unit_dir "${OSTRA_SYSTEMD_UNIT_DIR}")
if(unit_dir STREQUAL "")
  ostra_full_dir(unit_dir "lib/systemd/system" plain)
endif()
set(init_dir "${OSTRA_INIT_SCRIPT_DIR}")
if(init_dir STREQUAL "")
  set(init_dir "${sysconfdir}/init.d")
endif()

set(OSTRA_DAEMON_PATH "${sbindir}/ostra")
set(made "${OSTRA_BINARY_DIR}/packaging/install")
configure_file("${OSTRA_SOURCE_DIR}/packaging/ostra.service.in" "${made}/ostra.service" @ONLY)
configure_file("${OSTRA_SOURCE_DIR}/packaging/ostra.init.in" "${made}/init.d/ostra" @ONLY)
file(INSTALL DESTINATION "${unit_dir}" TYPE FILE FILES "${made}/ostra.service")
file(INSTALL DESTINATION "${init_dir}" TYPE PROGRAM FILES "${made}/init.d/ostra")
