# Channel logos in a 100,000-channel grid: cold start from a loopback server, and scrolling a warm cache.
add_executable(castora-bench-logos ${CMAKE_CURRENT_SOURCE_DIR}/bench_logos.cpp)
target_link_libraries(castora-bench-logos PRIVATE castora_benchgen castora_pages)
