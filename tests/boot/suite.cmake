# Boot tests: disks made by qxtool booted in QEMU (SeaBIOS, TCG) and in
# Bochs (its own BIOS), with NASM payloads reporting on the debug port.
# Groups that need Debian's kernel, busybox or GRUB packages skip visibly
# when those are missing (and fail under CI=true).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  foreach(group methods reads menu linux initrd usb grub torn update)
    add_test(NAME boot_${group}
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/boottests.py
              --qxtool $<TARGET_FILE:qxtool> --crash-states $<TARGET_FILE:crash_states>
              --shifted-boot ${SHIFTED_BOOT} ${group})
    set_tests_properties(boot_${group} PROPERTIES LABELS boot TIMEOUT 600)
  endforeach()
  # Four real kernels with initrds of 40 to 128 MiB read through the BIOS.
  set_tests_properties(boot_initrd PROPERTIES TIMEOUT 1200)
  # The core of the boot tests on Bochs and its own BIOS.
  add_test(NAME boot_bochs
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/bochstests.py --qxtool $<TARGET_FILE:qxtool>
            --crash-states $<TARGET_FILE:crash_states>)
  set_tests_properties(boot_bochs PROPERTIES LABELS boot TIMEOUT 600)
endif()

# The main job's result: the carried archive loaded as the front end does it.
if(Python3_FOUND AND TARGET carried_archive)
  add_test(NAME boot_stick
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/sticktests.py
            --qxtool $<TARGET_FILE:qxtool> --archive ${CMAKE_BINARY_DIR}/edit1.6.qxa)
  set_tests_properties(boot_stick PROPERTIES LABELS boot TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()

# Under CI (CI=true) every suite runs: what would leave one out is an error.
# The sanitizer build carries no archive and runs only the in-process suites.
if("$ENV{CI}" STREQUAL "true" AND NOT QX_SANITIZE AND (NOT Python3_FOUND OR NOT TARGET carried_archive))
  message(SEND_ERROR "CI=true: the boot suites need python3 and grub-mkimage (run scripts/setup)")
endif()
