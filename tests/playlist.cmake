# Playlist import and export: reading, mapping onto records, writing.
castora_test(test_playlist SOURCES test_playlist.cpp LIBS castora_catalogue LABELS fast)
