#pragma once
// The few mbedTLS calls whose form differs between the 2.28 series (Debian) and
// the 3.x series. Everything else in this folder uses calls common to both.
// Any thread; each function only touches the objects it is given.
#include <mbedtls/version.h>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>
#include <mbedtls/sha1.h>
#include <mbedtls/x509_crt.h>

#include <cstddef>
#include <cstdint>

#if MBEDTLS_VERSION_NUMBER < 0x03000000
#include <mbedtls/bignum.h>
#endif

namespace bridge::tlscompat {

using RngFn = int (*)(void*, unsigned char*, size_t);

inline int parseKeyFile(mbedtls_pk_context* key, const char* path, RngFn rng, void* rngCtx) {
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
  return mbedtls_pk_parse_keyfile(key, path, nullptr, rng, rngCtx);
#else
  (void)rng;
  (void)rngCtx;
  return mbedtls_pk_parse_keyfile(key, path, nullptr);
#endif
}

inline int checkPair(const mbedtls_pk_context* pub, const mbedtls_pk_context* prv, RngFn rng, void* rngCtx) {
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
  return mbedtls_pk_check_pair(pub, prv, rng, rngCtx);
#else
  (void)rng;
  (void)rngCtx;
  return mbedtls_pk_check_pair(pub, prv);
#endif
}

inline int sha1(const unsigned char* data, size_t size, unsigned char out[20]) {
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
  return mbedtls_sha1(data, size, out);
#else
  return mbedtls_sha1_ret(data, size, out);
#endif
}

// `serial` is big-endian and positive (top bit clear).
inline int setSerial(mbedtls_x509write_cert* crt, unsigned char* serial, size_t size) {
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
  return mbedtls_x509write_crt_set_serial_raw(crt, serial, size);
#else
  mbedtls_mpi n;
  mbedtls_mpi_init(&n);
  int rc = mbedtls_mpi_read_binary(&n, serial, size);
  if (rc == 0) rc = mbedtls_x509write_crt_set_serial(crt, &n);
  mbedtls_mpi_free(&n);
  return rc;
#endif
}

// Extended key usage: serverAuth only.
inline int setServerAuthUsage(mbedtls_x509write_cert* crt) {
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
  mbedtls_asn1_sequence usage{};
  usage.buf.tag = MBEDTLS_ASN1_OID;
  usage.buf.p = reinterpret_cast<unsigned char*>(const_cast<char*>(MBEDTLS_OID_SERVER_AUTH));
  usage.buf.len = MBEDTLS_OID_SIZE(MBEDTLS_OID_SERVER_AUTH);
  return mbedtls_x509write_crt_set_ext_key_usage(crt, &usage);
#else
  // SEQUENCE { OID id-kp-serverAuth }
  static const unsigned char value[] = {0x30, 0x0a, 0x06, 0x08, 0x2b, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x01};
  return mbedtls_x509write_crt_set_extension(crt, MBEDTLS_OID_EXTENDED_KEY_USAGE,
                                             MBEDTLS_OID_SIZE(MBEDTLS_OID_EXTENDED_KEY_USAGE), 0, value,
                                             sizeof value);
#endif
}

// The certificate that `crt` describes, signed by its issuer key, as PEM text
// (NUL-terminated) in `buf`. 0 on success.
#if MBEDTLS_VERSION_NUMBER < 0x03000000
// 2.28's writer gives the ECDSA signature algorithm identifier a NULL parameter
// where the parameters must be absent; strict parsers (Chromium's among them)
// refuse such a certificate. certificate_writer.cpp assembles it instead.
int writeCertificatePem228(mbedtls_x509write_cert* crt, unsigned char* buf, size_t size, RngFn rng, void* rngCtx);
#endif

inline int writeCertificatePem(mbedtls_x509write_cert* crt, unsigned char* buf, size_t size, RngFn rng,
                               void* rngCtx) {
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
  return mbedtls_x509write_crt_pem(crt, buf, size, rng, rngCtx);
#else
  return writeCertificatePem228(crt, buf, size, rng, rngCtx);
#endif
}

// Subject alternative names: IP address 127.0.0.1, then DNS name localhost.
inline int setLoopbackNames(mbedtls_x509write_cert* crt) {
  static unsigned char ip[] = {127, 0, 0, 1};
  static char dns[] = "localhost";
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
  mbedtls_x509_san_list dnsName{};
  dnsName.node.type = MBEDTLS_X509_SAN_DNS_NAME;
  dnsName.node.san.unstructured_name.p = reinterpret_cast<unsigned char*>(dns);
  dnsName.node.san.unstructured_name.len = sizeof dns - 1;
  mbedtls_x509_san_list ipAddress{};
  ipAddress.node.type = MBEDTLS_X509_SAN_IP_ADDRESS;
  ipAddress.node.san.unstructured_name.p = ip;
  ipAddress.node.san.unstructured_name.len = sizeof ip;
  ipAddress.next = &dnsName;
  return mbedtls_x509write_crt_set_subject_alternative_name(crt, &ipAddress);
#else
  // SEQUENCE { [7] 4 bytes, [2] "localhost" }
  unsigned char value[2 + 2 + sizeof ip + 2 + sizeof dns - 1];
  size_t n = 0;
  value[n++] = 0x30;
  value[n++] = static_cast<unsigned char>(sizeof value - 2);
  value[n++] = 0x87;
  value[n++] = sizeof ip;
  for (unsigned char b : ip) value[n++] = b;
  value[n++] = 0x82;
  value[n++] = static_cast<unsigned char>(sizeof dns - 1);
  for (size_t i = 0; i + 1 < sizeof dns; ++i) value[n++] = static_cast<unsigned char>(dns[i]);
  return mbedtls_x509write_crt_set_extension(crt, MBEDTLS_OID_SUBJECT_ALT_NAME,
                                             MBEDTLS_OID_SIZE(MBEDTLS_OID_SUBJECT_ALT_NAME), 0, value, n);
#endif
}

}  // namespace bridge::tlscompat
