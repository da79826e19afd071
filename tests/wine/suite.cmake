# The Windows build's smoke tests under wine. Without the cross build the
# test only says so and skips, which fails under CI=true.
if(TARGET qxtool_win)
  set(wine_smoke_args ${CMAKE_BINARY_DIR}/qxtool.exe $<TARGET_FILE:qxtool>)
else()
  set(wine_smoke_args --missing "the Windows build (MinGW-w64) is not available")
endif()
add_test(NAME wine.smoke COMMAND ${CMAKE_CURRENT_LIST_DIR}/smoke.sh ${wine_smoke_args})
set_tests_properties(wine.smoke PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 300)
