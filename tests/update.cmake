# List update and channel submission through the window, against loopback servers.
castora_test(test_update SOURCES test_update.cpp LIBS castora_app OFFSCREEN LABELS widgets)
# Real message boxes in a real window, against nginx serving the development update server.
# Window titles are read back from the X server with libxcb.
castora_test(test_endtoend SOURCES test_endtoend.cpp LIBS castora_app Qt6::Test xcb XVFB LABELS endtoend)
