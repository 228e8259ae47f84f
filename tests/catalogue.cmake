castora_test(test_catalogue SOURCES test_catalogue.cpp test_listfiles.cpp LIBS castora_catalogue LABELS fast)
