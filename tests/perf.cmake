# The fast paths of the catalogue against plain reference versions, on catalogues the benchmarks generate.
castora_test(test_perf SOURCES test_perf.cpp ../bench/CatalogueGen.cpp LIBS castora_catalogue LABELS fast)
if(TARGET test_perf)
  target_include_directories(test_perf PRIVATE ${CMAKE_SOURCE_DIR}/bench)
endif()
