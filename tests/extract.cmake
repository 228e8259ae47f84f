# Update archive extraction: real archives built in a temporary program directory.
# The archive builders in the shared support library need libzip and zlib themselves.
target_link_libraries(castora_testsupport PUBLIC PkgConfig::LIBZIP ZLIB::ZLIB)
castora_test(test_extract SOURCES test_extract.cpp LIBS castora_server LABELS server)
