# The main job's stick out of the box: ISO images copied onto it and the
# carried tools boot in QEMU from its menus, keys sent over QMP.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND AND TARGET carried_archive AND TARGET stick_files)
  foreach(group images tools exfat)
    add_test(NAME iso_${group}
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/isotests.py
              --qxtool $<TARGET_FILE:qxtool> --build ${CMAKE_BINARY_DIR} ${group})
    set_tests_properties(iso_${group} PROPERTIES LABELS iso TIMEOUT 900 SKIP_RETURN_CODE 77)
  endforeach()
elseif("$ENV{CI}" STREQUAL "true" AND NOT QX_SANITIZE)
  add_test(NAME iso_missing COMMAND ${CMAKE_COMMAND} -E false)
  set_tests_properties(iso_missing PROPERTIES LABELS iso)
endif()
