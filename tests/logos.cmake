# Channel logos: the fetch against loopback servers, and the cache and its workers (offscreen).
castora_test(test_logo_fetch SOURCES test_logo_fetch.cpp LIBS castora_server TIMEOUT 120)
castora_test(test_logos SOURCES test_logos.cpp LIBS castora_pages Qt6::Test OFFSCREEN TIMEOUT 300 LABELS widgets)
