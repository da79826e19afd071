# The system's FAT and partition tools check what "format" writes.
foreach(mode fsck mtools fdisk loop sample sync volid)
  add_test(NAME peers_${mode} COMMAND ${CMAKE_CURRENT_LIST_DIR}/peers.sh $<TARGET_FILE:qxtool> ${mode})
  set_tests_properties(peers_${mode} PROPERTIES LABELS peers SKIP_RETURN_CODE 77 TIMEOUT 600)
endforeach()
