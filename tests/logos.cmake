# Channel logos: the fetch against loopback servers, the cache and its workers, the grid's logo column
# (offscreen), and its pixels in a real window under Xvfb.
castora_test(test_logo_fetch SOURCES test_logo_fetch.cpp LIBS castora_server TIMEOUT 120)
castora_test(test_logos SOURCES test_logos.cpp LIBS castora_pages Qt6::Test OFFSCREEN TIMEOUT 300 LABELS widgets)
castora_test(test_logos_screen SOURCES test_logos_screen.cpp LIBS castora_pages Qt6::Test XVFB TIMEOUT 120
             LABELS widgets)
