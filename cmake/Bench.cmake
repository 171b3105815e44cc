# Benchmark programs (bench/), built only on request: -DVORTAN_BENCH=ON. They start
# the service from a temporary installed tree through the test support library, so
# they need the test build as well. bench/run.sh builds and runs them in Release.
option(VORTAN_BENCH "Build the benchmark programs" OFF)

if(VORTAN_BENCH)
  if(NOT VORTAN_TESTS)
    message(FATAL_ERROR "VORTAN_BENCH needs VORTAN_TESTS=ON (the benchmarks use the test support library)")
  endif()
  add_library(vortan_bench_support STATIC ${PROJECT_SOURCE_DIR}/bench/BenchSupport.cpp)
  target_include_directories(vortan_bench_support PUBLIC ${PROJECT_SOURCE_DIR}/bench)
  target_link_libraries(vortan_bench_support PRIVATE vortan_warnings PUBLIC Threads::Threads)

  file(GLOB VORTAN_BENCH_PROGRAMS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bench/*Bench.cpp)
  set(VORTAN_BENCH_TARGETS)
  foreach(program ${VORTAN_BENCH_PROGRAMS})
    get_filename_component(name ${program} NAME_WE)
    string(REGEX REPLACE "Bench$" "" name ${name})
    string(TOLOWER ${name} name)
    set(target vortan_bench_${name})
    add_executable(${target} ${program})
    target_link_libraries(${target} PRIVATE vortan_warnings vortan_bench_support vortan_test_support)
    add_dependencies(${target} VortanVpnService)
    list(APPEND VORTAN_BENCH_TARGETS ${target})
  endforeach()
  # The tunnel benchmark builds the tunnel tests' namespace world.
  if(TARGET vortan_bench_tunnel)
    target_sources(vortan_bench_tunnel PRIVATE ${PROJECT_SOURCE_DIR}/tests/linux/tunnel/TunnelWorld.cpp)
    target_include_directories(vortan_bench_tunnel PRIVATE ${PROJECT_SOURCE_DIR}/tests/linux/tunnel)
    target_compile_definitions(vortan_bench_tunnel PRIVATE
      VORTAN_CONNECT_PROXY="$<TARGET_FILE:vortan_connect_proxy>")
    add_dependencies(vortan_bench_tunnel vortan_connect_proxy)
  endif()
  add_custom_target(benchmarks DEPENDS ${VORTAN_BENCH_TARGETS})
endif()
