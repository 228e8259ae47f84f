castora_test(test_catalogue SOURCES test_catalogue.cpp test_jobrunner.cpp test_listfiles.cpp test_notes.cpp
             test_search.cpp LIBS castora_catalogue LABELS fast)
