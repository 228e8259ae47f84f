# Full screen against the mpv command line, and the window thread while a large grid is resized. Run under
# an X server of 1920x1080: xvfb-run -a -s "-screen 0 1920x1080x24" castora-fsbench
if(TARGET castora_testsupport)
  add_executable(castora-fsbench ${CMAKE_CURRENT_SOURCE_DIR}/bench_fullscreen.cpp)
  target_link_libraries(castora-fsbench PRIVATE castora_benchgen castora_app castora_testsupport Qt6::Network)
endif()
