find_package(Threads REQUIRED)

# GoogleTest from Debian's sources, built with the rest (and, natively, with the sanitizers).
set(QZ_GTEST_SRC "/usr/src/googletest" CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
if(EXISTS "${QZ_GTEST_SRC}/CMakeLists.txt")
  add_subdirectory(${QZ_GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()
