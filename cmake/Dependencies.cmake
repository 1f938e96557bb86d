find_package(Threads REQUIRED)

# GoogleTest from Debian's sources, built with the rest (and, natively, with the sanitizers).
set(QZ_GTEST_SRC "/usr/src/googletest" CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
if(EXISTS "${QZ_GTEST_SRC}/CMakeLists.txt")
  add_subdirectory(${QZ_GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()

# OpenSSL: Debian's natively, the cached static build for the Windows targets.
add_library(qz_openssl INTERFACE)
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(QZ_OPENSSL_ROOT "${QZ_OPENSSL_WIN64}")
  else()
    set(QZ_OPENSSL_ROOT "${QZ_OPENSSL_WIN32}")
  endif()
  target_include_directories(qz_openssl SYSTEM INTERFACE "${QZ_OPENSSL_ROOT}/include")
  target_link_libraries(qz_openssl INTERFACE "${QZ_OPENSSL_ROOT}/lib/libssl.a" "${QZ_OPENSSL_ROOT}/lib/libcrypto.a"
                        ws2_32 crypt32 iphlpapi netapi32)
else()
  find_package(OpenSSL 3 REQUIRED)
  target_link_libraries(qz_openssl INTERFACE OpenSSL::SSL OpenSSL::Crypto)
endif()

# pugixml from its sources on every target, so all builds parse alike.
if(QZ_PUGIXML_SRC AND EXISTS "${QZ_PUGIXML_SRC}/pugixml.cpp")
  add_library(qz_pugixml STATIC "${QZ_PUGIXML_SRC}/pugixml.cpp")
  target_include_directories(qz_pugixml SYSTEM PUBLIC "${QZ_PUGIXML_SRC}")
else()
  find_package(pugixml REQUIRED)
  add_library(qz_pugixml INTERFACE)
  target_link_libraries(qz_pugixml INTERFACE pugixml::pugixml)
endif()

# cpp-httplib, the single upstream header; include it in as few files as possible.
add_library(qz_httplib INTERFACE)
if(QZ_HTTPLIB_INCLUDE)
  target_include_directories(qz_httplib SYSTEM INTERFACE "${QZ_HTTPLIB_INCLUDE}")
endif()
target_compile_definitions(qz_httplib INTERFACE CPPHTTPLIB_OPENSSL_SUPPORT)
target_link_libraries(qz_httplib INTERFACE qz_openssl)
