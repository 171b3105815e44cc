# The Windows installer, built on Linux with wixl (package wixl, from msitools):
#   cmake --build build-win32 --target msi   ->  build-win32/VortanVpnService-<version>-x86.msi
# (a 64-bit build makes ...-x64.msi, which installs into the 64-bit program folder; it
# exists so that the package can be tried under wine64). The package holds the tree of
# InstallWindows.cmake: bin\VortanVpnService.exe, the Windows templates, log
# configuration and settings sample in conf, and the empty logs and log folders.

# A newer package replaces the installed one when its version is higher in one of its
# first three fields; empty means the project's version.
set(VORTAN_MSI_VERSION "" CACHE STRING "Version of the Windows installer package (empty: the project's version)")
if(VORTAN_MSI_VERSION)
  set(VORTAN_MSI_PRODUCT_VERSION ${VORTAN_MSI_VERSION})
else()
  set(VORTAN_MSI_PRODUCT_VERSION ${PROJECT_VERSION})
endif()
if(NOT VORTAN_MSI_PRODUCT_VERSION MATCHES "^[0-9]+\\.[0-9]+(\\.[0-9]+(\\.[0-9]+)?)?$")
  message(FATAL_ERROR "VORTAN_MSI_VERSION must be major.minor[.build[.revision]], not '${VORTAN_MSI_PRODUCT_VERSION}'")
endif()

# Component attribute 0x100 marks a component of the 64-bit registry and folders.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VORTAN_MSI_ARCH x64)
  set(VORTAN_MSI_PROGRAM_FILES ProgramFiles64Folder)
  set(VORTAN_MSI_WIN64 " Win64=\"yes\"")
  set(msi_component_base 256)
else()
  set(VORTAN_MSI_ARCH x86)
  set(VORTAN_MSI_PROGRAM_FILES ProgramFilesFolder)
  set(VORTAN_MSI_WIN64 "")
  set(msi_component_base 0)
endif()
# The settings file: Permanent (0x10), so an uninstall or the removal half of an
# upgrade leaves it, and NeverOverwrite (0x80), so an upgrade keeps the administrator's.
math(EXPR VORTAN_MSI_SETTINGS_ATTRIBUTES "${msi_component_base} + 16 + 128")

# The upgrade code never changes: it tells Windows Installer that a package replaces an
# installed one. Component codes stay the same from version to version (the installer
# counts a component's clients by them) and differ between the two architectures' folders.
set(VORTAN_MSI_UPGRADE_CODE 7e3c2b4a-0f61-4d59-9a1e-5c8b2d7f41a6)
foreach(component SERVICE TEMPLATES SETTINGS LOGS DUMP RUN ROOT)
  string(UUID VORTAN_MSI_GUID_${component} NAMESPACE ${VORTAN_MSI_UPGRADE_CODE}
         NAME "${VORTAN_MSI_ARCH}/${component}" TYPE SHA1 UPPER)
endforeach()

set(msi_dir ${CMAKE_BINARY_DIR}/msi)
set(VORTAN_MSI_EXE files/VortanVpnService.exe)
set(VORTAN_MSI_FILE ${CMAKE_BINARY_DIR}/VortanVpnService-${VORTAN_MSI_PRODUCT_VERSION}-${VORTAN_MSI_ARCH}.msi)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/VortanVpnService.wxs.in ${msi_dir}/VortanVpnService.wxs @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/extra-tables.sql.in ${msi_dir}/extra-tables.sql @ONLY)

# wixl reads sources relative to its input, so the files are staged beside it.
set(msi_conf_files
  ${PROJECT_SOURCE_DIR}/conf/servicelog.conf
  ${PROJECT_SOURCE_DIR}/conf/windows/VortanVpnService.ini
  ${PROJECT_SOURCE_DIR}/conf/windows/VortanClient.ovpn
  ${PROJECT_SOURCE_DIR}/conf/windows/VortanClientStunnel.ovpn
  ${PROJECT_SOURCE_DIR}/conf/windows/stunnel.conf)

find_program(VORTAN_WIXL wixl DOC "wixl (package wixl), which builds the Windows installer")
find_program(VORTAN_MSIBUILD msibuild DOC "msibuild (package msitools), which adds tables wixl cannot write")
# The packaged program carries no debugging sections (a tenth of the size); the
# build's own executable keeps them.
if(CMAKE_STRIP)
  set(msi_strip COMMAND ${CMAKE_STRIP} --strip-debug ${msi_dir}/${VORTAN_MSI_EXE})
endif()
if(VORTAN_WIXL AND VORTAN_MSIBUILD)
  add_custom_command(OUTPUT ${VORTAN_MSI_FILE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${msi_dir}/files
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:VortanVpnService> ${msi_conf_files} ${msi_dir}/files/
    ${msi_strip}
    COMMAND ${CMAKE_COMMAND} -E remove -f ${VORTAN_MSI_FILE}
    COMMAND ${VORTAN_WIXL} --arch ${VORTAN_MSI_ARCH} -o ${VORTAN_MSI_FILE} ${msi_dir}/VortanVpnService.wxs
    COMMAND sh ${PROJECT_SOURCE_DIR}/packaging/windows/add-tables.sh ${VORTAN_MSIBUILD} ${VORTAN_MSI_FILE} ${msi_dir}/extra-tables.sql
    DEPENDS VortanVpnService ${msi_conf_files} ${msi_dir}/VortanVpnService.wxs ${msi_dir}/extra-tables.sql
            ${PROJECT_SOURCE_DIR}/packaging/windows/add-tables.sh
    COMMENT "Building the Windows installer ${VORTAN_MSI_FILE}"
    VERBATIM)
  add_custom_target(msi DEPENDS ${VORTAN_MSI_FILE})
else()
  add_custom_target(msi
    COMMAND ${CMAKE_COMMAND} -E echo "The Windows installer needs wixl and msibuild: apt-get install wixl msitools"
    COMMAND ${CMAKE_COMMAND} -E false
    VERBATIM)
endif()
