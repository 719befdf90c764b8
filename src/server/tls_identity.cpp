#include "server/tls_identity.h"

#include <mbedtls/asn1.h>
#include <mbedtls/ecp.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/x509.h>

#include <cstring>
#include <vector>

#include "server/mbedtls_compat.h"
#include "server/random.h"
#include "util/files.h"

namespace bridge {

namespace {

constexpr std::time_t kHour = 3600;
constexpr std::time_t kAuthorityLifetime = 315360000;  // 3650 days
constexpr std::time_t kServerLifetime = 69120000;      // 800 days
constexpr std::time_t kRenewBefore = 2592000;          // 30 days
constexpr size_t kPemBuffer = 8192;
constexpr size_t kKeyPemBuffer = 2048;
constexpr char kServerSubject[] = "CN=127.0.0.1,O=Krevlo Bridge";

std::string utcText(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
  return buf;
}

// Owns one key or certificate writer for the length of a scope.
struct Key {
  Key() { mbedtls_pk_init(&pk); }
  ~Key() { mbedtls_pk_free(&pk); }
  mbedtls_pk_context pk;
};

struct CertWriter {
  CertWriter() { mbedtls_x509write_crt_init(&crt); }
  ~CertWriter() { mbedtls_x509write_crt_free(&crt); }
  mbedtls_x509write_cert crt;
};

bool generateKey(Key& key) {
  if (mbedtls_pk_setup(&key.pk, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY)) != 0) return false;
  return mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(key.pk), rngCallback, nullptr) == 0;
}

// 16 bytes, positive, with the top byte in 0x40..0x7F so the encoding never
// shrinks or grows a sign byte.
bool setRandomSerial(mbedtls_x509write_cert* crt) {
  unsigned char serial[16];
  if (!random().fill(serial, sizeof serial)) return false;
  serial[0] = static_cast<unsigned char>((serial[0] & 0x3F) | 0x40);
  return tlscompat::setSerial(crt, serial, sizeof serial) == 0;
}

std::string writePem(mbedtls_x509write_cert* crt) {
  std::vector<unsigned char> buf(kPemBuffer, 0);
  if (tlscompat::writeCertificatePem(crt, buf.data(), buf.size(), rngCallback, nullptr) != 0) return {};
  return std::string(reinterpret_cast<const char*>(buf.data()));
}

struct Validity {
  std::string notBefore, notAfter;
};

// Common to both certificates; false when any setting fails.
bool describe(mbedtls_x509write_cert* crt, const std::string& subject, const std::string& issuer, Key& subjectKey,
              Key& issuerKey, const Validity& validity) {
  mbedtls_x509write_crt_set_version(crt, MBEDTLS_X509_CRT_VERSION_3);
  mbedtls_x509write_crt_set_md_alg(crt, MBEDTLS_MD_SHA256);
  mbedtls_x509write_crt_set_subject_key(crt, &subjectKey.pk);
  mbedtls_x509write_crt_set_issuer_key(crt, &issuerKey.pk);
  return setRandomSerial(crt) &&
         mbedtls_x509write_crt_set_validity(crt, validity.notBefore.c_str(), validity.notAfter.c_str()) == 0 &&
         mbedtls_x509write_crt_set_subject_name(crt, subject.c_str()) == 0 &&
         mbedtls_x509write_crt_set_issuer_name(crt, issuer.c_str()) == 0 &&
         mbedtls_x509write_crt_set_subject_key_identifier(crt) == 0;
}

std::string authorityPem(const std::string& subject, Key& key, std::time_t now) {
  CertWriter w;
  Validity v{utcText(now - kHour), utcText(now + kAuthorityLifetime)};
  if (!describe(&w.crt, subject, subject, key, key, v) ||
      mbedtls_x509write_crt_set_basic_constraints(&w.crt, 1, 0) != 0 ||
      mbedtls_x509write_crt_set_key_usage(&w.crt, MBEDTLS_X509_KU_KEY_CERT_SIGN | MBEDTLS_X509_KU_CRL_SIGN) != 0)
    return {};
  return writePem(&w.crt);
}

std::string serverPem(const std::string& issuer, Key& serverKey, Key& authorityKey, std::time_t now) {
  CertWriter w;
  Validity v{utcText(now - kHour), utcText(now + kServerLifetime)};
  if (!describe(&w.crt, kServerSubject, issuer, serverKey, authorityKey, v) ||
      mbedtls_x509write_crt_set_basic_constraints(&w.crt, 0, -1) != 0 ||
      mbedtls_x509write_crt_set_key_usage(&w.crt, MBEDTLS_X509_KU_DIGITAL_SIGNATURE) != 0 ||
      tlscompat::setServerAuthUsage(&w.crt) != 0 || tlscompat::setLoopbackNames(&w.crt) != 0 ||
      mbedtls_x509write_crt_set_authority_key_identifier(&w.crt) != 0)
    return {};
  return writePem(&w.crt);
}

// An AlgorithmIdentifier at `p` that holds its OID and nothing else.
bool bareAlgorithm(unsigned char** p, const unsigned char* end) {
  size_t len = 0;
  if (mbedtls_asn1_get_tag(p, end, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0) return false;
  const unsigned char* algorithmEnd = *p + len;
  if (mbedtls_asn1_get_tag(p, algorithmEnd, &len, MBEDTLS_ASN1_OID) != 0) return false;
  *p += len;
  return *p == algorithmEnd;
}

// Both signature AlgorithmIdentifiers of a certificate (in the TBSCertificate
// and after it) carry no parameters, as ECDSA requires. Older builds wrote a
// NULL there, which Chromium refuses although other verifiers let it pass.
bool bareSignatureAlgorithms(const mbedtls_x509_crt& crt) {
  if (!crt.raw.p) return false;
  unsigned char* p = crt.raw.p;
  const unsigned char* end = p + crt.raw.len;
  size_t len = 0;
  if (mbedtls_asn1_get_tag(&p, end, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0) return false;
  end = p + len;
  if (mbedtls_asn1_get_tag(&p, end, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0) return false;
  unsigned char* tbs = p;
  unsigned char* tbsEnd = p + len;
  // [0] version (absent in version 1), then the serial number.
  if (mbedtls_asn1_get_tag(&tbs, tbsEnd, &len, MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED | 0) == 0)
    tbs += len;
  if (mbedtls_asn1_get_tag(&tbs, tbsEnd, &len, MBEDTLS_ASN1_INTEGER) != 0) return false;
  tbs += len;
  if (!bareAlgorithm(&tbs, tbsEnd)) return false;
  p = tbsEnd;
  return bareAlgorithm(&p, end);
}

std::time_t notAfter(const mbedtls_x509_crt& crt) {
  std::tm tm{};
  tm.tm_year = crt.valid_to.year - 1900;
  tm.tm_mon = crt.valid_to.mon - 1;
  tm.tm_mday = crt.valid_to.day;
  tm.tm_hour = crt.valid_to.hour;
  return timegm(&tm);
}

}  // namespace

TlsIdentity::TlsIdentity() {
  mbedtls_x509_crt_init(&cert);
  mbedtls_pk_init(&key);
}

TlsIdentity::~TlsIdentity() {
  mbedtls_pk_free(&key);
  mbedtls_x509_crt_free(&cert);
}

std::filesystem::path authorityFile(const std::filesystem::path& dir) { return dir / "ca.pem"; }

std::unique_ptr<TlsIdentity> loadIdentity(const std::filesystem::path& dir, std::time_t now) {
  auto id = std::make_unique<TlsIdentity>();
  if (mbedtls_x509_crt_parse_file(&id->cert, (dir / "cert.pem").c_str()) != 0) return nullptr;
  if (tlscompat::parseKeyFile(&id->key, (dir / "key.pem").c_str(), rngCallback, nullptr) != 0) return nullptr;
  // A key from another identity would make every handshake fail for the
  // certificate's whole life, with nothing to say why.
  if (tlscompat::checkPair(&id->cert.pk, &id->key, rngCallback, nullptr) != 0) return nullptr;
  for (const mbedtls_x509_crt* c = &id->cert; c; c = c->next)
    if (!bareSignatureAlgorithms(*c)) return nullptr;
  if (notAfter(id->cert) - now < kRenewBefore) return nullptr;
  return id;
}

bool createIdentityFiles(const std::filesystem::path& dir, std::time_t now, std::string& error) {
  const std::string date = utcText(now).substr(0, 8);
  const std::string authoritySubject = "CN=Krevlo Bridge local authority " + date + ",O=Krevlo Bridge";

  // The authority key lives only in this scope: the authority can sign nothing else.
  Key authorityKey, serverKey;
  if (!generateKey(authorityKey) || !generateKey(serverKey)) {
    error = "key generation failed";
    return false;
  }
  std::string caPem = authorityPem(authoritySubject, authorityKey, now);
  if (caPem.empty()) {
    error = "authority certificate failed";
    return false;
  }
  std::string certPem = serverPem(authoritySubject, serverKey, authorityKey, now);
  if (certPem.empty()) {
    error = "certificate failed";
    return false;
  }
  std::vector<unsigned char> keyBuf(kKeyPemBuffer, 0);
  if (mbedtls_pk_write_key_pem(&serverKey.pk, keyBuf.data(), keyBuf.size()) != 0) {
    error = "key export failed";
    return false;
  }
  std::string keyPem(reinterpret_cast<const char*>(keyBuf.data()));
  mbedtls_platform_zeroize(keyBuf.data(), keyBuf.size());

  if (!writeFile(dir / "key.pem", keyPem, true) || !writeFile(dir / "cert.pem", certPem + caPem, false) ||
      !writeFile(authorityFile(dir), caPem, false)) {
    error = "can't write the certificate files";
    return false;
  }
  return true;
}

std::unique_ptr<TlsIdentity> loadOrCreateIdentity(const std::filesystem::path& dir, std::string& error) {
  const std::time_t now = std::time(nullptr);
  if (auto id = loadIdentity(dir, now)) return id;
  if (!createIdentityFiles(dir, now, error)) return nullptr;
  auto id = loadIdentity(dir, now);
  if (!id) error = "can't read the new certificate";
  return id;
}

}  // namespace bridge
