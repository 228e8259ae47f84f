# Media player adapter and Play page against real libmpv (null outputs) and a loopback file server.
castora_test(test_player SOURCES test_player.cpp test_player_states.cpp LIBS castora_player Qt6::Test
             OFFSCREEN TIMEOUT 60 LABELS player)
castora_test(test_playpage SOURCES test_playpage.cpp LIBS castora_pages Qt6::Test OFFSCREEN TIMEOUT 60
             LABELS player)
# The real video path (render API in a QOpenGLWidget) needs an X server with GL.
castora_test(test_player_video SOURCES test_player_video.cpp LIBS castora_player Qt6::Test XVFB TIMEOUT 60
             LABELS player)
castora_test(test_player_buffering SOURCES test_player_buffering.cpp LIBS castora_player Qt6::Test OFFSCREEN TIMEOUT 180
             LABELS player)
