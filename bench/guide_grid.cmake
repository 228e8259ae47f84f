# The grid's "Now" column in a 100,000-channel rebuild, beside the rebuild without a guide.
add_executable(castora-bench-guide-grid ${CMAKE_CURRENT_SOURCE_DIR}/bench_guide_grid.cpp)
target_link_libraries(castora-bench-guide-grid PRIVATE castora_pages)
