# Playlist import and export: reading, mapping onto records, writing.
castora_test(test_playlist SOURCES test_playlist.cpp LIBS castora_catalogue LABELS fast)
castora_test(test_playlist_download SOURCES test_playlist_download.cpp LIBS castora_server TIMEOUT 60)
castora_test(test_player_headers SOURCES test_player_headers.cpp LIBS castora_player Qt6::Test OFFSCREEN TIMEOUT 60
             LABELS player)
castora_test(test_playlist_import SOURCES test_playlist_import.cpp LIBS castora_app Qt6::Test OFFSCREEN TIMEOUT 60
             LABELS widgets)
