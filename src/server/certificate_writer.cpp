// Our own assembly of an X.509 certificate for the mbedTLS 2.28 series, whose
// writer puts a NULL parameter into the ecdsa-with-SHA256 AlgorithmIdentifier
// (both the TBSCertificate's "signature" and the outer "signatureAlgorithm").
// For ECDSA the parameters must be absent, and Chromium's parser refuses the
// certificate otherwise. Everything else comes from what the writer's setters
// recorded in mbedtls_x509write_cert, so both series describe a certificate the
// same way and only the final encoding differs.
#include "server/mbedtls_compat.h"

#if MBEDTLS_VERSION_NUMBER < 0x03000000

#include <mbedtls/asn1write.h>
#include <mbedtls/md.h>
#include <mbedtls/pem.h>
#include <mbedtls/x509.h>

#include <cstring>
#include <vector>

namespace bridge::tlscompat {

namespace {

constexpr unsigned char kSequence = MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE;

// Writes backwards from `p` towards `start`, as the ASN.1 writer does, adding
// up the bytes written; the first failure sticks and stops further writing.
class Writer {
 public:
  Writer(unsigned char* start, size_t size) : start_(start), p_(start + size) {}

  bool add(int written) {
    if (rc_ < 0) return false;
    if (written < 0) {
      rc_ = written;
      return false;
    }
    length_ += static_cast<size_t>(written);
    return true;
  }

  // Wraps everything written since `mark` (a length()) in a tag.
  bool wrap(size_t mark, unsigned char tag) {
    const size_t inner = length_ - mark;
    return add(mbedtls_asn1_write_len(&p_, start_, inner)) && add(mbedtls_asn1_write_tag(&p_, start_, tag));
  }

  // An AlgorithmIdentifier with the algorithm's OID and no parameters.
  bool bareAlgorithm(const char* oid, size_t oidSize) {
    const size_t mark = length_;
    return add(mbedtls_asn1_write_oid(&p_, start_, oid, oidSize)) && wrap(mark, kSequence);
  }

  // "YYYYMMDDhhmmssZ": UTCTime (two-digit year) through 2049, GeneralizedTime after.
  bool time(const char* text) {
    const size_t mark = length_;
    const bool utc = std::strncmp(text, "2050", 4) < 0;
    const char* from = utc ? text + 2 : text;
    return add(mbedtls_asn1_write_raw_buffer(&p_, start_, reinterpret_cast<const unsigned char*>(from),
                                             std::strlen(from))) &&
           wrap(mark, utc ? MBEDTLS_ASN1_UTC_TIME : MBEDTLS_ASN1_GENERALIZED_TIME);
  }

  // The DER encoding of a public key, written below `p` by the key writer.
  bool publicKey(mbedtls_pk_context* key) {
    if (rc_ < 0) return false;
    int n = mbedtls_pk_write_pubkey_der(key, start_, static_cast<size_t>(p_ - start_));
    if (!add(n)) return false;
    p_ -= n;
    return true;
  }

  unsigned char*& p() { return p_; }
  unsigned char* start() const { return start_; }
  size_t length() const { return length_; }
  int rc() const { return rc_ < 0 ? rc_ : 0; }

 private:
  unsigned char* start_;
  unsigned char* p_;
  size_t length_ = 0;
  int rc_ = 0;
};

// TBSCertificate; written last field first.
bool writeTbs(Writer& w, mbedtls_x509write_cert* crt) {
  if (crt->version == MBEDTLS_X509_CRT_VERSION_3) {
    const size_t mark = w.length();
    if (!w.add(mbedtls_x509_write_extensions(&w.p(), w.start(), crt->extensions)) || !w.wrap(mark, kSequence) ||
        !w.wrap(mark, MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED | 3))
      return false;
  }
  if (!w.publicKey(crt->subject_key) || !w.add(mbedtls_x509_write_names(&w.p(), w.start(), crt->subject)))
    return false;
  const size_t validity = w.length();
  if (!w.time(crt->not_after) || !w.time(crt->not_before) || !w.wrap(validity, kSequence)) return false;
  if (!w.add(mbedtls_x509_write_names(&w.p(), w.start(), crt->issuer)) ||
      !w.bareAlgorithm(MBEDTLS_OID_ECDSA_SHA256, MBEDTLS_OID_SIZE(MBEDTLS_OID_ECDSA_SHA256)) ||
      !w.add(mbedtls_asn1_write_mpi(&w.p(), w.start(), &crt->serial)))
    return false;
  if (crt->version != MBEDTLS_X509_CRT_VERSION_1) {
    const size_t mark = w.length();
    if (!w.add(mbedtls_asn1_write_int(&w.p(), w.start(), crt->version)) ||
        !w.wrap(mark, MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED | 0))
      return false;
  }
  return w.wrap(0, kSequence);
}

}  // namespace

int writeCertificatePem228(mbedtls_x509write_cert* crt, unsigned char* buf, size_t size, RngFn rng, void* rngCtx) {
  // Only what this program makes: ECDSA keys, signed over SHA-256.
  if (crt->md_alg != MBEDTLS_MD_SHA256 || !crt->issuer_key || !crt->subject_key ||
      !mbedtls_pk_can_do(crt->issuer_key, MBEDTLS_PK_ECDSA))
    return MBEDTLS_ERR_X509_FEATURE_UNAVAILABLE;

  std::vector<unsigned char> tbsBuf(size), certBuf(size);
  Writer tbs(tbsBuf.data(), tbsBuf.size());
  if (!writeTbs(tbs, crt)) return tbs.rc();

  const mbedtls_md_info_t* sha256 = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
  unsigned char hash[32];
  unsigned char sig[MBEDTLS_PK_SIGNATURE_MAX_SIZE];
  size_t sigSize = 0;
  int rc = mbedtls_md(sha256, tbs.p(), tbs.length(), hash);
  if (rc == 0) rc = mbedtls_pk_sign(crt->issuer_key, MBEDTLS_MD_SHA256, hash, sizeof hash, sig, &sigSize, rng, rngCtx);
  if (rc != 0) return rc;

  // Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signatureValue }
  Writer cert(certBuf.data(), certBuf.size());
  if (!cert.add(mbedtls_asn1_write_bitstring(&cert.p(), cert.start(), sig, sigSize * 8)) ||
      !cert.bareAlgorithm(MBEDTLS_OID_ECDSA_SHA256, MBEDTLS_OID_SIZE(MBEDTLS_OID_ECDSA_SHA256)) ||
      !cert.add(mbedtls_asn1_write_raw_buffer(&cert.p(), cert.start(), tbs.p(), tbs.length())) ||
      !cert.wrap(0, kSequence))
    return cert.rc();

  size_t written = 0;
  return mbedtls_pem_write_buffer("-----BEGIN CERTIFICATE-----\n", "-----END CERTIFICATE-----\n", cert.p(),
                                  cert.length(), buf, size, &written);
}

}  // namespace bridge::tlscompat

#endif
