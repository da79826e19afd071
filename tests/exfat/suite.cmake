# The system's exFAT tools and driver check what "format --exfat" writes.
foreach(mode fsck sample mkfs mount esp)
  add_test(NAME exfat_${mode} COMMAND ${CMAKE_CURRENT_LIST_DIR}/exfat.sh $<TARGET_FILE:qxtool> ${mode})
  set_tests_properties(exfat_${mode} PROPERTIES LABELS exfat SKIP_RETURN_CODE 77 TIMEOUT 1200)
endforeach()
