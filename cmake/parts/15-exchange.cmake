list(APPEND QZ_CORE_SOURCES common/Communication.cpp common/HttpClient.cpp common/SocketError.cpp)
list(APPEND QZ_UNIT_TEST_SOURCES tests/unit/CommunicationTest.cpp)
