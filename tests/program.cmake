# The real program binary, started as a user would start it.
castora_test(test_program SOURCES test_program.cpp LABELS program)
if(TARGET test_program)
  add_dependencies(test_program castora-player)
  target_compile_definitions(test_program PRIVATE CASTORA_PLAYER_BINARY="$<TARGET_FILE:castora-player>")
endif()
# A second start in the same list directory, under a session bus and an X server of its own.
find_program(DBUS_RUN_SESSION dbus-run-session)
if(DBUS_RUN_SESSION)
  add_executable(test_second_start test_second_start.cpp)
  target_link_libraries(test_second_start PRIVATE castora_testsupport GTest::gtest_main xcb)
  add_dependencies(test_second_start castora-player)
  target_compile_definitions(test_second_start PRIVATE CASTORA_PLAYER_BINARY="$<TARGET_FILE:castora-player>")
  add_test(NAME test_second_start
           COMMAND ${DBUS_RUN_SESSION} -- xvfb-run -a -s "-screen 0 1280x1024x24" $<TARGET_FILE:test_second_start>)
  set_tests_properties(test_second_start PROPERTIES ENVIRONMENT "LC_ALL=C.UTF-8" TIMEOUT 180 LABELS program)
endif()
