# Stand-in child programs of the Windows tests. The tests find them beside their own
# executable, so they are built into the directory of windows_tests (included after it).
if(WIN32 AND TARGET windows_tests)
  set(_windows_sources ${PROJECT_SOURCE_DIR}/src/platform/windows)

  # Waits on a named event, records its command line, runs as stunnel's exit run, or
  # faults and writes a crash dump (ProcessesTest, CrashTest).
  add_executable(stand_in_child
    ${CMAKE_CURRENT_LIST_DIR}/StandInChild.cpp
    ${_windows_sources}/Crash.cpp
    ${_windows_sources}/Win32Error.cpp
    ${_windows_sources}/WideText.cpp)
  target_link_libraries(stand_in_child PRIVATE dbghelp)

  # A service run by the service control manager through the service host (ServiceHostTest).
  add_executable(stand_in_service
    ${CMAKE_CURRENT_LIST_DIR}/StandInService.cpp
    ${_windows_sources}/ServiceHost.cpp
    ${_windows_sources}/Win32Error.cpp
    ${_windows_sources}/WideText.cpp)

  # openvpn.exe of the scenario table: the start of the management dialogue.
  add_executable(stand_in_openvpn
    ${CMAKE_CURRENT_LIST_DIR}/StandInOpenVpn.cpp
    ${_windows_sources}/WideText.cpp)
  target_link_libraries(stand_in_openvpn PRIVATE ws2_32 shell32)

  get_target_property(_tests_directory windows_tests RUNTIME_OUTPUT_DIRECTORY)
  if(NOT _tests_directory)
    get_target_property(_tests_directory windows_tests BINARY_DIR)
  endif()
  foreach(_child stand_in_child stand_in_service stand_in_openvpn)
    # Platform code only, as in the service: the include root of vortan_platform.
    target_include_directories(${_child} PRIVATE ${CMAKE_BINARY_DIR}/layers/platform)
    target_link_options(${_child} PRIVATE -static)
    set_target_properties(${_child} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${_tests_directory})
  endforeach()
  add_dependencies(windows_tests stand_in_child stand_in_service stand_in_openvpn)
endif()
