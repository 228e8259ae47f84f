# The real program binary, started as a user would start it.
castora_test(test_program SOURCES test_program.cpp LABELS program)
if(TARGET test_program)
  add_dependencies(test_program castora-player)
  target_compile_definitions(test_program PRIVATE CASTORA_PLAYER_BINARY="$<TARGET_FILE:castora-player>")
endif()
