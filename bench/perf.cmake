# Benchmarks: a catalogue generator, Google Benchmark programs and a driver for whole-process figures.
add_library(castora_benchgen STATIC ${CMAKE_CURRENT_SOURCE_DIR}/CatalogueGen.cpp ${CMAKE_CURRENT_SOURCE_DIR}/CatalogueGen.h
            ${CMAKE_CURRENT_SOURCE_DIR}/BenchSupport.h)
target_include_directories(castora_benchgen PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(castora_benchgen PUBLIC castora_catalogue)

add_executable(castora-gencat ${CMAKE_CURRENT_SOURCE_DIR}/gencat.cpp)
target_link_libraries(castora-gencat PRIVATE castora_benchgen)

add_executable(castora-bench ${CMAKE_CURRENT_SOURCE_DIR}/bench_catalogue.cpp)
target_link_libraries(castora-bench PRIVATE castora_benchgen castora_app benchmark::benchmark)

add_executable(castora-perf ${CMAKE_CURRENT_SOURCE_DIR}/perf_driver.cpp)
target_link_libraries(castora-perf PRIVATE castora_benchgen castora_app castora_server castora_player PkgConfig::LIBZIP)

# Start-up references: a bare Qt window, and the first play at its earliest in a process of its own.
add_executable(castora-barewindow ${CMAKE_CURRENT_SOURCE_DIR}/bare_window.cpp)
target_link_libraries(castora-barewindow PRIVATE Qt6::Widgets)
add_executable(castora-firstplay ${CMAKE_CURRENT_SOURCE_DIR}/first_play.cpp)
target_link_libraries(castora-firstplay PRIVATE castora_player)

# The generator's own test, beside it.
if(BUILD_TESTING)
  find_package(GTest REQUIRED)
  add_executable(test_gencat ${CMAKE_CURRENT_SOURCE_DIR}/test_gencat.cpp)
  target_link_libraries(test_gencat PRIVATE castora_benchgen castora_testsupport GTest::gtest_main)
  add_test(NAME test_gencat COMMAND test_gencat)
  set_tests_properties(test_gencat PROPERTIES ENVIRONMENT "LC_ALL=C.UTF-8" TIMEOUT 300 LABELS fast)
endif()
