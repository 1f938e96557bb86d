list(APPEND QZ_CORE_SOURCES protocol/AppState.cpp)
list(APPEND QZ_UNIT_TEST_SOURCES tests/unit/AppStateTest.cpp)
