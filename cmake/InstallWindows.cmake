# The installed tree on Windows: the service in bin (openvpn.exe and stunnel\stunnel.exe
# are placed beside and below it by the installer), the settings, the log configuration
# and the Windows templates in conf, and the empty logs and log folders.
install(TARGETS VortanVpnService RUNTIME DESTINATION bin)
install(FILES
  ${PROJECT_SOURCE_DIR}/conf/windows/VortanVpnService.ini
  ${PROJECT_SOURCE_DIR}/conf/servicelog.conf
  ${PROJECT_SOURCE_DIR}/conf/windows/VortanClient.ovpn
  ${PROJECT_SOURCE_DIR}/conf/windows/VortanClientStunnel.ovpn
  ${PROJECT_SOURCE_DIR}/conf/windows/stunnel.conf
  DESTINATION conf)
install(DIRECTORY DESTINATION logs)
install(DIRECTORY DESTINATION log)
