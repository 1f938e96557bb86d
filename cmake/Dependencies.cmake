find_package(Threads REQUIRED)

# GoogleTest from Debian's sources, built with the rest (and, natively, with the sanitizers).
set(QZ_GTEST_SRC "/usr/src/googletest" CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
if(EXISTS "${QZ_GTEST_SRC}/CMakeLists.txt")
  add_subdirectory(${QZ_GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()

# An import library that binds a system DLL on the first call of one of the
# named functions instead of at start. The certificate-store functions that
# OpenSSL and the HTTP library reference are never called by the agent (it
# checks no certificates), and loading crypt32 at start costs every process
# memory (under Wine it brings a whole TLS library along). A function missing
# from the list fails the link, so nothing binds at start unnoticed.
function(qz_delay_import_library dll out_var)
  set(implib "/usr/${QZ_MINGW_TRIPLE}/lib/lib${dll}.a")
  set(delaylib "${CMAKE_BINARY_DIR}/delayimp/lib${dll}_delayed.a")
  execute_process(COMMAND ${QZ_MINGW_TRIPLE}-nm -g "${implib}" OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot read ${implib}")
  endif()
  set(def "LIBRARY ${dll}.dll\nEXPORTS\n")
  foreach(fn IN LISTS ARGN)
    # 32-bit names carry their stdcall decoration (name@bytes).
    string(REGEX MATCH "__imp__?${fn}(@[0-9]+)?\n" imp "${symbols}")
    if(NOT imp)
      message(FATAL_ERROR "${fn} is not in ${implib}")
    endif()
    string(REGEX REPLACE "^__imp__?|\n$" "" name "${imp}")
    string(APPEND def "${name}\n")
  endforeach()
  file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/delayimp")
  file(WRITE "${CMAKE_BINARY_DIR}/delayimp/${dll}.def" "${def}")
  execute_process(COMMAND ${QZ_MINGW_TRIPLE}-dlltool -k --input-def "${CMAKE_BINARY_DIR}/delayimp/${dll}.def"
                          --output-delaylib "${delaylib}" --dllname ${dll}.dll RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dlltool could not make ${delaylib}")
  endif()
  set(${out_var} "${delaylib}" PARENT_SCOPE)
endfunction()

# OpenSSL: Debian's natively, the cached static build for the Windows targets.
add_library(qz_openssl INTERFACE)
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(QZ_OPENSSL_ROOT "${QZ_OPENSSL_WIN64}")
  else()
    set(QZ_OPENSSL_ROOT "${QZ_OPENSSL_WIN32}")
  endif()
  target_include_directories(qz_openssl SYSTEM INTERFACE "${QZ_OPENSSL_ROOT}/include")
  qz_delay_import_library(crypt32 qz_crypt32_delayed
    CertCloseStore CertDuplicateCertificateContext CertEnumCertificatesInStore CertFindCertificateInStore
    CertFreeCertificateContext CertGetCertificateContextProperty CertOpenStore CertOpenSystemStoreW)
  target_link_libraries(qz_openssl INTERFACE "${QZ_OPENSSL_ROOT}/lib/libssl.a" "${QZ_OPENSSL_ROOT}/lib/libcrypto.a"
                        ws2_32 "${qz_crypt32_delayed}" iphlpapi netapi32)
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

# zlib: raw deflate for archives (and the pictures later). Static in the
# Windows builds, so the programs carry no zlib1.dll.
add_library(qz_zlib INTERFACE)
if(WIN32)
  find_path(QZ_ZLIB_INCLUDE zlib.h REQUIRED)
  find_library(QZ_ZLIB_STATIC NAMES libz.a REQUIRED)
  target_include_directories(qz_zlib SYSTEM INTERFACE "${QZ_ZLIB_INCLUDE}")
  target_link_libraries(qz_zlib INTERFACE "${QZ_ZLIB_STATIC}")
else()
  find_package(ZLIB REQUIRED)
  target_link_libraries(qz_zlib INTERFACE ZLIB::ZLIB)
endif()
