# List update and channel submission through the window, against loopback servers.
castora_test(test_update SOURCES test_update.cpp LIBS castora_app OFFSCREEN LABELS widgets)
