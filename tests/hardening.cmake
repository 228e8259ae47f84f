# Hostile servers, crash-safe saving and the fuzz findings replayed in the normal (g++) suite.
castora_test(test_hostile SOURCES test_hostile.cpp LIBS castora_server LABELS server TIMEOUT 120)
castora_test(test_crashsave SOURCES test_crashsave.cpp LIBS castora_catalogue LABELS catalogue TIMEOUT 120)

# The fuzz targets compiled by g++ with renamed entry points, replaying seeds and former findings.
set(fuzz_replay_targets listfile lookup encoding extract http playlist guide)
set(fuzz_replay_sources test_fuzz_regressions.cpp)
foreach(t ${fuzz_replay_targets})
  list(APPEND fuzz_replay_sources fuzz/fuzz_${t}.cpp)
  set_source_files_properties(fuzz/fuzz_${t}.cpp PROPERTIES
    COMPILE_DEFINITIONS "LLVMFuzzerTestOneInput=CastoraFuzz_${t};CASTORA_FUZZ_REPLAY")
endforeach()
castora_test(test_fuzz_regressions SOURCES ${fuzz_replay_sources} LIBS castora_server LABELS fast TIMEOUT 120)
if(TARGET test_fuzz_regressions)
  target_compile_definitions(test_fuzz_regressions PRIVATE CASTORA_FUZZ_DIR="${CMAKE_CURRENT_SOURCE_DIR}/fuzz")
endif()
castora_test(test_hostile_teardown SOURCES test_hostile_teardown.cpp LIBS castora_player Qt6::Test XVFB TIMEOUT 60
             LABELS player)
