# Crash replay: every state a power cut during a store command can leave,
# checked with the tool. QX_CRASH_SCALE=10 runs ten times as many states.
add_executable(crash_tests ${CMAKE_CURRENT_LIST_DIR}/replay.cpp ${CMAKE_CURRENT_LIST_DIR}/crash_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/harness_test.cpp ${CMAKE_SOURCE_DIR}/tests/support/fixture.cpp)
target_include_directories(crash_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_link_libraries(crash_tests qxcore GTest::gtest GTest::gtest_main)
target_compile_definitions(crash_tests PRIVATE QX_SHIFTED_BOOT="${SHIFTED_BOOT}")
add_dependencies(crash_tests shifted_boot)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(crash_tests PRIVATE -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread)
endif()
gtest_discover_tests(crash_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS crash TIMEOUT 900)

# The torn states of one command written out as images, for the boot tests.
add_executable(crash_states ${CMAKE_CURRENT_LIST_DIR}/crash_states.cpp ${CMAKE_CURRENT_LIST_DIR}/replay.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/fixture.cpp)
target_include_directories(crash_states PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_link_libraries(crash_states qxcore)
add_dependencies(crash_states shifted_boot)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(crash_states PRIVATE -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread)
endif()
