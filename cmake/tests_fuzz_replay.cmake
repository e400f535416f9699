# Fuzz corpora replayed by the ordinary test run: each fuzz/<target>.cpp is
# linked with one generic driver (fuzz/replay/replay_main.cpp) into a plain
# executable, and the test fuzz.<target> feeds it every file of
# fuzz/corpus/<target>/. A new target joins by being added to fuzz/.
if(TAVNI_TESTS AND NOT WIN32)
  file(GLOB TAVNI_FUZZ_TARGETS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/*.cpp)
  foreach(src ${TAVNI_FUZZ_TARGETS})
    get_filename_component(name ${src} NAME_WE)
    # Not named fuzz_*: those are the libFuzzer binaries of TAVNI_FUZZ builds.
    add_executable(fuzz-replay-${name} ${CMAKE_SOURCE_DIR}/fuzz/replay/replay_main.cpp ${src})
    target_link_libraries(fuzz-replay-${name} PRIVATE tavni_agent tavni_server_lib)
    add_test(NAME fuzz.${name}
      COMMAND fuzz-replay-${name} ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
    set_tests_properties(fuzz.${name} PROPERTIES TIMEOUT 600)
  endforeach()
endif()
