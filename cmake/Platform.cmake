# The platform backend of the target system: VORTAN_PLATFORM_SOURCES (compiled into
# vortan_platform), VORTAN_PLATFORM_LIBRARIES (linked with it) and
# VORTAN_SERVICE_LINK_OPTIONS (for the service executable).
if(WIN32)
  file(GLOB VORTAN_PLATFORM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/platform/windows/*.cpp)
  if(NOT VORTAN_PLATFORM_SOURCES)
    message(FATAL_ERROR "no Windows backend in this tree yet (src/platform/windows/ has no sources)")
  endif()
  # A 64-bit time_t on the 32-bit build too (mingw's default there is 32 bits, which ends
  # in 2038), for every target alike so that no interface disagrees on its width.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    add_compile_definitions(__MINGW_USE_VC2005_COMPAT)
  endif()
  # Linked statically, so the programs import only system DLLs.
  set(VORTAN_PLATFORM_LIBRARIES ws2_32 iphlpapi dbghelp version -static)
  set(VORTAN_SERVICE_LINK_OPTIONS)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  file(GLOB VORTAN_PLATFORM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/platform/linux/*.cpp)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(MNL REQUIRED IMPORTED_TARGET libmnl)
  pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
  set(VORTAN_PLATFORM_LIBRARIES PkgConfig::MNL PkgConfig::SYSTEMD)
  # Backtraces in the crash dump name our own functions.
  set(VORTAN_SERVICE_LINK_OPTIONS -rdynamic)
else()
  message(FATAL_ERROR "No platform backend for ${CMAKE_SYSTEM_NAME}")
endif()
