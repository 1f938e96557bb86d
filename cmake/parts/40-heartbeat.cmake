list(APPEND QZ_CORE_SOURCES protocol/PingServer.cpp)
list(APPEND QZ_UNIT_TEST_SOURCES tests/unit/PingServerTest.cpp)
