# Watching in a real window: growing, full screen, zapping and remembered settings, read back from X.
castora_test(test_viewing SOURCES test_viewing.cpp LIBS castora_app Qt6::Test xcb XVFB TIMEOUT 300 LABELS endtoend)
