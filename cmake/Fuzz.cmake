# libFuzzer targets (clang only): one executable per tests/fuzz/*_fuzzer.cpp, each
# with a seed corpus in tests/fuzz/<name>/.
if(VORTAN_FUZZ)
  file(GLOB VORTAN_FUZZERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/fuzz/*_fuzzer.cpp)
  foreach(fuzzer_source ${VORTAN_FUZZERS})
    get_filename_component(fuzzer ${fuzzer_source} NAME_WE)
    add_executable(${fuzzer} ${fuzzer_source})
    target_link_libraries(${fuzzer} PRIVATE vortan_warnings vortan_app)
    target_link_options(${fuzzer} PRIVATE -fsanitize=fuzzer)
  endforeach()
endif()
