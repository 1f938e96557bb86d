list(APPEND QZ_CORE_SOURCES common/Settings.cpp)
list(APPEND QZ_UNIT_TEST_SOURCES tests/unit/SettingsTest.cpp)
