# UEFI tests: sticks made by scripts/make-stick, with the data partition's
# UEFI boot files, booted in SeaBIOS and in OVMF (with and without Secure
# Boot, 64-bit and 32-bit), to Debian's kernel.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND AND TARGET stick_files)
  foreach(group tree paths secure frontend)
    add_test(NAME uefi_${group}
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/uefitests.py
              --source ${CMAKE_SOURCE_DIR} --build ${CMAKE_BINARY_DIR} ${group})
    set_tests_properties(uefi_${group} PROPERTIES LABELS uefi TIMEOUT 1200 SKIP_RETURN_CODE 77)
  endforeach()
elseif("$ENV{CI}" STREQUAL "true" AND NOT QX_SANITIZE)
  add_test(NAME uefi_missing COMMAND ${CMAKE_COMMAND} -E false)
  set_tests_properties(uefi_missing PROPERTIES LABELS uefi)
endif()
