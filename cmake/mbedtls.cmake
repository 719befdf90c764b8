# Debian ships mbedTLS 2.28 without a CMake package, so the three libraries are
# found by hand and wrapped in imported targets named like upstream's.
find_path(MBEDTLS_INCLUDE_DIR mbedtls/ssl.h REQUIRED)
find_library(MBEDTLS_LIB mbedtls REQUIRED)
find_library(MBEDX509_LIB mbedx509 REQUIRED)
find_library(MBEDCRYPTO_LIB mbedcrypto REQUIRED)
foreach(lib mbedcrypto mbedx509 mbedtls)
  string(TOUPPER ${lib} up)
  add_library(MbedTLS::${lib} UNKNOWN IMPORTED)
  set_target_properties(MbedTLS::${lib} PROPERTIES
    IMPORTED_LOCATION "${${up}_LIB}"
    INTERFACE_INCLUDE_DIRECTORIES "${MBEDTLS_INCLUDE_DIR}")
endforeach()
set_property(TARGET MbedTLS::mbedx509 PROPERTY INTERFACE_LINK_LIBRARIES MbedTLS::mbedcrypto)
set_property(TARGET MbedTLS::mbedtls PROPERTY INTERFACE_LINK_LIBRARIES MbedTLS::mbedx509)
