# The installed tree the service assumes at run time (it finds every file beside its
# own directory): bin/ with the program and links to the system's OpenVPN and
# stunnel, conf/ with the templates and samples, and the log directories.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/vortanvpnservice CACHE PATH "Installation prefix" FORCE)
endif()
set(VORTAN_OPENVPN_PROGRAM /usr/sbin/openvpn CACHE FILEPATH "OpenVPN program that bin/openvpn links to")
set(VORTAN_STUNNEL_PROGRAM /usr/bin/stunnel4 CACHE FILEPATH "stunnel program that bin/stunnel/stunnel links to")

install(TARGETS VortanVpnService RUNTIME DESTINATION bin)

# The links are made at install time so that they name the system's programs, also
# inside a package's staging directory.
install(CODE "
  set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
  file(MAKE_DIRECTORY \"\${bin}/stunnel\")
  message(STATUS \"Installing: \${bin}/openvpn -> ${VORTAN_OPENVPN_PROGRAM}\")
  file(CREATE_LINK \"${VORTAN_OPENVPN_PROGRAM}\" \"\${bin}/openvpn\" SYMBOLIC)
  message(STATUS \"Installing: \${bin}/stunnel/stunnel -> ${VORTAN_STUNNEL_PROGRAM}\")
  file(CREATE_LINK \"${VORTAN_STUNNEL_PROGRAM}\" \"\${bin}/stunnel/stunnel\" SYMBOLIC)
")

# Templates as the configuration work ships them, then the two samples.
file(GLOB VORTAN_CONF_TEMPLATES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/conf/*.ovpn ${PROJECT_SOURCE_DIR}/conf/stunnel.conf)
set(VORTAN_CONF_FILES ${VORTAN_CONF_TEMPLATES}
  ${PROJECT_SOURCE_DIR}/conf/VortanVpnService.ini ${PROJECT_SOURCE_DIR}/conf/servicelog.conf)
install(FILES ${VORTAN_CONF_FILES} DESTINATION conf)

# Empty log directories, private to the service (the service log, stunnel's log, the
# crash dump).
set(VORTAN_EMPTY_DIRS ${CMAKE_BINARY_DIR}/install-skeleton)
file(MAKE_DIRECTORY ${VORTAN_EMPTY_DIRS}/logs ${VORTAN_EMPTY_DIRS}/log)
install(DIRECTORY ${VORTAN_EMPTY_DIRS}/logs ${VORTAN_EMPTY_DIRS}/log DESTINATION .
  DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
# run/ holds the root-only copies of the configurations OpenVPN and stunnel read.
file(MAKE_DIRECTORY ${VORTAN_EMPTY_DIRS}/run)
install(DIRECTORY ${VORTAN_EMPTY_DIRS}/run DESTINATION .
  DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
