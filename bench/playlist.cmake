# Playlist import: reading and planning a 100,000-entry extended M3U against a 100,000-channel catalogue.
add_executable(castora-bench-playlist ${CMAKE_CURRENT_SOURCE_DIR}/bench_playlist.cpp)
target_link_libraries(castora-bench-playlist PRIVATE castora_benchgen castora_app benchmark::benchmark)
