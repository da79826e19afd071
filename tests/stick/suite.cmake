# The main job on block devices: loop devices the tests attach themselves
# (root), some over a FUSE file that behaves like a bad stick; sticks made
# and updated by scripts/make-stick. QX_CRASH_SCALE=10 replays ten times as
# many power-cut states.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND AND TARGET carried_archive AND TARGET stick_files)
  foreach(group flush verify exfat several progress update refuse boot powercut)
    add_test(NAME stick_${group}
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/sticktests.py
              --source ${CMAKE_SOURCE_DIR} --build ${CMAKE_BINARY_DIR} ${group})
    set_tests_properties(stick_${group} PROPERTIES LABELS stick TIMEOUT 1200 SKIP_RETURN_CODE 77
      RESOURCE_LOCK loop_devices)
  endforeach()
elseif("$ENV{CI}" STREQUAL "true" AND NOT QX_SANITIZE)
  add_test(NAME stick_missing COMMAND ${CMAKE_COMMAND} -E false)
  set_tests_properties(stick_missing PROPERTIES LABELS stick)
endif()
