# Desktop integration: MPRIS2 against a real session bus of its own, and the per-user install.
find_program(DBUS_RUN_SESSION dbus-run-session)
if(DBUS_RUN_SESSION)
  add_executable(test_mpris test_mpris.cpp)
  target_link_libraries(test_mpris PRIVATE castora_testsupport GTest::gtest_main castora_app Qt6::DBus Qt6::Test)
  add_test(NAME test_mpris COMMAND ${DBUS_RUN_SESSION} -- $<TARGET_FILE:test_mpris>)
  set_tests_properties(test_mpris PROPERTIES ENVIRONMENT "LC_ALL=C.UTF-8;QT_QPA_PLATFORM=offscreen" TIMEOUT 120
                                             LABELS desktop)
else()
  message(WARNING "dbus-run-session not found: test_mpris not built")
endif()

# Installs this build tree into temporary homes and checks the result with desktop-file-validate and
# appstreamcli.
castora_test(test_install SOURCES test_install.cpp TIMEOUT 600 LABELS desktop)
if(TARGET test_install)
  add_dependencies(test_install castora-player)
  target_compile_definitions(test_install PRIVATE CASTORA_BINARY_DIR="${CMAKE_BINARY_DIR}")
endif()
