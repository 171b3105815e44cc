# A Debian package of the installed tree (cpack -G DEB). Its maintainer scripts
# register the service through the program's own /install and /remove.
set(VORTAN_PACKAGE_PREFIX /opt/vortanvpnservice)
# The local group whose members may start and stop the tunnel; postinst creates it
# and names it in the settings.
set(VORTAN_PACKAGE_GROUP vortanvpn)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vortanvpnservice)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VortanVpnService")
set(CPACK_PACKAGE_CONTACT "VortanVpnService maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "OpenVpn Launcher Service")
set(CPACK_PACKAGE_DESCRIPTION
  "Root service that lets an unprivileged desktop client open and close an OpenVPN
 tunnel and edit IPv4 routes through a loopback management protocol.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${VORTAN_PACKAGE_PREFIX})
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "openvpn, stunnel4, nftables, passwd")
find_program(VORTAN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VORTAN_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

# Maintainer scripts and the list of configuration files that upgrades must keep.
set(VORTAN_PACKAGE_CONTROL ${CMAKE_BINARY_DIR}/package-control)
foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/${script}.in ${VORTAN_PACKAGE_CONTROL}/${script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(VORTAN_CONFFILES "")
foreach(conf_file ${VORTAN_CONF_FILES})
  get_filename_component(conf_name ${conf_file} NAME)
  string(APPEND VORTAN_CONFFILES "${VORTAN_PACKAGE_PREFIX}/conf/${conf_name}\n")
endforeach()
file(WRITE ${VORTAN_PACKAGE_CONTROL}/conffiles "${VORTAN_CONFFILES}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${VORTAN_PACKAGE_CONTROL}/postinst ${VORTAN_PACKAGE_CONTROL}/prerm
  ${VORTAN_PACKAGE_CONTROL}/postrm ${VORTAN_PACKAGE_CONTROL}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
