# HTTP client, channel list download and channel submission, against loopback servers.
castora_test(test_http SOURCES test_http.cpp test_http_download.cpp LIBS castora_server TIMEOUT 120)
castora_test(test_submission SOURCES test_submission.cpp LIBS castora_server TIMEOUT 60)
