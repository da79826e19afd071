# Real distributions' live systems from the main job's stick: initramfs
# images built from Debian's packages find the ISO image on the stick and
# start its live root, on SeaBIOS and OVMF (TCG, so each boot takes about a
# minute). The fixtures are cached under the build directory.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND AND TARGET carried_archive AND TARGET stick_files)
  add_test(NAME live_families
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/livetests.py
            --qxtool $<TARGET_FILE:qxtool> --build ${CMAKE_BINARY_DIR} families)
  set_tests_properties(live_families PROPERTIES LABELS live TIMEOUT 3600 SKIP_RETURN_CODE 77 RUN_SERIAL ON)
elseif("$ENV{CI}" STREQUAL "true" AND NOT QX_SANITIZE)
  add_test(NAME live_missing COMMAND ${CMAKE_COMMAND} -E false)
  set_tests_properties(live_missing PROPERTIES LABELS live)
endif()
