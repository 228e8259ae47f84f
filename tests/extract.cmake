# Update archive extraction: real archives built in a temporary program directory.
castora_test(test_extract SOURCES test_extract.cpp LIBS castora_server LABELS server)
