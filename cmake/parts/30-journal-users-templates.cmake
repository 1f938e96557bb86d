list(APPEND QZ_CORE_SOURCES
  monitor/LicenseManagerData.cpp
  monitor/ProcessTemplate.cpp
  protocol/GuardEventsInfo.cpp
  sessions/Locker.cpp
  sessions/UserCache.cpp
)
list(APPEND QZ_UNIT_TEST_SOURCES
  tests/unit/GuardEventsInfoTest.cpp
  tests/unit/LockerTest.cpp
  tests/unit/ProcessTemplateTest.cpp
  tests/unit/UserCacheTest.cpp
)
