list(APPEND QZ_CORE_SOURCES common/Crypto.cpp)
list(APPEND QZ_UNIT_TEST_SOURCES tests/unit/CryptoTest.cpp)
