# Runs at install time, from the install rules of packaging/CMakeLists.txt,
# once CMAKE_INSTALL_PREFIX is final (cmake --install --prefix, cpack).
# Under the prefix /usr the configuration goes to /etc and the units to
# /lib/systemd/system, as Debian places them; under any other prefix both
# stay inside it. The unit starts the daemon from the prefix's bin/.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(_sysconf "/etc")
  set(_units "/lib/systemd/system")
else()
  set(_sysconf "${CMAKE_INSTALL_PREFIX}/etc")
  set(_units "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()
set(VIGILD_BINDIR "${CMAKE_INSTALL_PREFIX}/${VIGILD_BINDIR_RELATIVE}")
configure_file("${VIGILD_PACKAGING_SOURCE}/systemd/vigild.service.in"
  "${VIGILD_PACKAGING_BINARY}/systemd/vigild.service" @ONLY)
file(INSTALL "${VIGILD_PACKAGING_BINARY}/systemd/vigild.service"
  "${VIGILD_PACKAGING_SOURCE}/systemd/vigild.socket"
  DESTINATION "${_units}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL "${VIGILD_PACKAGING_BINARY}/etc/registry.conf"
  DESTINATION "${_sysconf}/vigild" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# The program directory, with an example that defines nothing until copied
# to NAME.conf.
file(INSTALL "${VIGILD_PACKAGING_SOURCE}/programs.d/example.conf.example"
  DESTINATION "${_sysconf}/vigild/programs.d"
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
