# The Windows build's smoke tests under wine (when the cross build exists).
if(TARGET qxtool_win)
  add_test(NAME wine.smoke
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/smoke.sh ${CMAKE_BINARY_DIR}/qxtool.exe $<TARGET_FILE:qxtool>)
  set_tests_properties(wine.smoke PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
