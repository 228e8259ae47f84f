# The install and build scripts a newcomer runs first.
castora_test(test_scripts SOURCES test_scripts.cpp LABELS scripts TIMEOUT 120)
