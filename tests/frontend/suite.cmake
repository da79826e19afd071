# The front end: its logic natively against a fake system, and the Windows
# program itself under wine when it was cross-built.
set(FRONT_DIR ${CMAKE_SOURCE_DIR}/frontend)
# The front end's user texts are code page 936 byte text through GCC's
# -fexec-charset, in the tests as in the Windows program.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  if("$ENV{CI}" STREQUAL "true")
    message(SEND_ERROR "CI=true: the front end unit tests need GCC (-fexec-charset)")
  endif()
  message(STATUS "front end unit tests need GCC (-fexec-charset); not built with ${CMAKE_CXX_COMPILER_ID}")
  return()
endif()
add_executable(frontend_tests
  ${CMAKE_CURRENT_LIST_DIR}/frontend_test.cpp
  ${FRONT_DIR}/qxtoolDlg.cpp ${FRONT_DIR}/qxtool.cpp)
target_include_directories(frontend_tests PRIVATE ${FRONT_DIR} ${CMAKE_CURRENT_LIST_DIR})
# The same code page for the literals as the Windows program.
target_compile_options(frontend_tests PRIVATE -fexec-charset=CP936)
target_compile_definitions(frontend_tests PRIVATE QX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_libraries(frontend_tests GTest::gtest GTest::gtest_main)
gtest_discover_tests(frontend_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS frontend)

# End to end under wine in Xvfb. Exit status 77 marks the test skipped, with
# the reason in its output, when wine, Xvfb or the cross-built program is
# missing; under CI=true the test fails then.
if(TARGET qxfront_win)
  get_property(QXFRONT_ARCHIVE GLOBAL PROPERTY QXFRONT_ARCHIVE)
  set(front_wine_args ${CMAKE_BINARY_DIR}/frontend-win ${CMAKE_BINARY_DIR}/frontend-win/qxfront/qxtool.exe
      ${QXFRONT_ARCHIVE} ${CMAKE_BINARY_DIR}/frontend-wine
      ${CMAKE_BINARY_DIR}/stickfs.list ${CMAKE_BINARY_DIR}/stickfs)
  if(NOT TARGET stick_files)
    set(front_wine_args --missing "the stick's boot files (target stick_files) are not built")
  endif()
else()
  set(front_wine_args --missing "the Windows build (MinGW-w64) is not available")
endif()
add_test(NAME frontend_wine
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/wine/run_wine_test.sh ${front_wine_args})
set_tests_properties(frontend_wine PROPERTIES LABELS frontend SKIP_RETURN_CODE 77 TIMEOUT 600)
