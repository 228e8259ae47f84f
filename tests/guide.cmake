# The programme guide: reading XMLTV, the index and its cache, matching, downloads and refreshes.
castora_test(test_guide SOURCES test_guide_reader.cpp test_guide_index.cpp LIBS castora_catalogue LABELS fast)
castora_test(test_guide_refresh SOURCES test_guide_refresh.cpp LIBS castora_server LABELS server TIMEOUT 120)
# The guide in the window: sources in the settings file, the manual match, failing sources (offscreen).
castora_test(test_guide_window SOURCES test_guide_window.cpp LIBS castora_app Qt6::Test OFFSCREEN LABELS widgets
             TIMEOUT 300)
# The grid's "Now" column: titles with the rows, read again when a programme ends (offscreen).
castora_test(test_guide_grid SOURCES test_guide_grid.cpp LIBS castora_pages Qt6::Test OFFSCREEN LABELS widgets
             TIMEOUT 120)
# End to end in a real window under Xvfb: an imported playlist's guide in the grid and on the Play page.
castora_test(test_guide_screen SOURCES test_guide_screen.cpp LIBS castora_app Qt6::Test XVFB LABELS endtoend
             TIMEOUT 180)
# The programme on air in the MPRIS metadata, over a session bus of its own.
find_program(DBUS_RUN_SESSION dbus-run-session)
if(DBUS_RUN_SESSION)
  add_executable(test_guide_mpris test_guide_mpris.cpp)
  target_link_libraries(test_guide_mpris PRIVATE castora_testsupport GTest::gtest_main castora_app Qt6::DBus Qt6::Test)
  add_test(NAME test_guide_mpris COMMAND ${DBUS_RUN_SESSION} -- $<TARGET_FILE:test_guide_mpris>)
  set_tests_properties(test_guide_mpris PROPERTIES ENVIRONMENT "LC_ALL=C.UTF-8;QT_QPA_PLATFORM=offscreen" TIMEOUT 120
                                                   LABELS desktop)
endif()
