# Main window and its pages on Qt's offscreen platform, with scripted answers to every question.
castora_test(test_mainwindow SOURCES test_mainwindow.cpp LIBS castora_app Qt6::Test OFFSCREEN LABELS widgets)
castora_test(test_catalogue_jobs SOURCES test_catalogue_jobs.cpp LIBS castora_app OFFSCREEN LABELS widgets)
castora_test(test_editor SOURCES test_editor.cpp LIBS castora_app OFFSCREEN LABELS widgets)
castora_test(test_favourites SOURCES test_favourites.cpp LIBS castora_app Qt6::Test OFFSCREEN LABELS widgets)
# One running copy per list directory, in one process: the later start runs on a thread of its own.
castora_test(test_single_instance SOURCES test_single_instance.cpp LIBS castora_app Qt6::Test OFFSCREEN LABELS widgets
             TIMEOUT 120)
castora_test(test_channel_logos SOURCES test_channel_logos.cpp LIBS castora_app Qt6::Test OFFSCREEN LABELS widgets)
