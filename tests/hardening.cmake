# Hostile servers, crash-safe saving and the fuzz findings replayed in the normal (g++) suite.
castora_test(test_hostile SOURCES test_hostile.cpp LIBS castora_server LABELS server TIMEOUT 120)
