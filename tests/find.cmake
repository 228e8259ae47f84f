# The find bar of the Channels page, alone.
castora_test(test_findbar SOURCES test_findbar.cpp LIBS castora_pages Qt6::Test OFFSCREEN LABELS widgets TIMEOUT 60)
