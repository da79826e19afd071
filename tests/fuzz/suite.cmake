# A smoke run of every fuzz target (a few seconds each, seeds and kept
# findings first) when clang and its libFuzzer runtime are installed. The
# targets are built once by the fixture test fuzz.build, in build/fuzz, with
# the boot record images this build made.
find_program(QX_CLANGXX clang++)
if(QX_CLANGXX)
  execute_process(COMMAND ${QX_CLANGXX} -print-file-name=libclang_rt.fuzzer-x86_64.a
                  OUTPUT_VARIABLE QX_FUZZ_RT OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(QX_CLANGXX AND EXISTS "${QX_FUZZ_RT}")
  set(QX_FUZZ_RUN ${CMAKE_SOURCE_DIR}/fuzz/run --build-dir ${CMAKE_BINARY_DIR}/fuzz)
  set(QX_FUZZ_ENV "QX_MBR_SOURCE=${CMAKE_BINARY_DIR}/bootrec/qx_mbr.cpp")
  add_test(NAME fuzz.build COMMAND ${QX_FUZZ_RUN} --build-only)
  set_tests_properties(fuzz.build PROPERTIES LABELS fuzz FIXTURES_SETUP qx_fuzz_build TIMEOUT 900
                       ENVIRONMENT "${QX_FUZZ_ENV}")
  file(GLOB QX_FUZZ_TARGETS ${CMAKE_SOURCE_DIR}/fuzz/fuzz_*.cpp)
  foreach(src ${QX_FUZZ_TARGETS})
    get_filename_component(name ${src} NAME_WE)
    string(REGEX REPLACE "^fuzz_" "" name ${name})
    add_test(NAME fuzz.${name} COMMAND ${QX_FUZZ_RUN} --no-build --smoke ${name})
    set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz FIXTURES_REQUIRED qx_fuzz_build TIMEOUT 120)
  endforeach()
endif()
