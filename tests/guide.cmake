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
