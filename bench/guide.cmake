# The programme guide: parse, refresh, cache and Now-column figures, beside the npm parsers (scripts/bench-guide.sh).
add_executable(castora-bench-guide ${CMAKE_CURRENT_SOURCE_DIR}/bench_guide.cpp)
target_link_libraries(castora-bench-guide PRIVATE castora_server Qt6::Core)
