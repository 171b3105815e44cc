# vortanctl: the administrator's command-line client of the management protocol. Its
# logic is a library of its own so the tests can reach it. It speaks the line protocol
# over a socket and links only the layers it uses (common and, below it, platform).
add_library(vortanctl_core STATIC tools/vortanctl/VortanCtl.cpp)
target_include_directories(vortanctl_core PUBLIC tools/vortanctl)
target_compile_definitions(vortanctl_core PRIVATE VORTANCTL_INSTALL_PREFIX="${CMAKE_INSTALL_PREFIX}")
target_link_libraries(vortanctl_core PRIVATE vortan_warnings PUBLIC vortan_routes)

add_executable(vortanctl tools/vortanctl/main.cpp)
target_link_libraries(vortanctl PRIVATE vortan_warnings vortanctl_core)

# Beside the service, so that it finds ../conf/portused.txt by default.
install(TARGETS vortanctl RUNTIME DESTINATION bin)
