# Hostile servers, crash-safe saving and the fuzz findings replayed in the normal (g++) suite.
castora_test(test_hostile SOURCES test_hostile.cpp LIBS castora_server LABELS server TIMEOUT 120)
castora_test(test_crashsave SOURCES test_crashsave.cpp LIBS castora_catalogue LABELS catalogue TIMEOUT 120)
