# Channel logos: the fetch against loopback servers.
castora_test(test_logo_fetch SOURCES test_logo_fetch.cpp LIBS castora_server TIMEOUT 120)
