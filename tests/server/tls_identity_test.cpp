#include "server/tls_identity.h"

#include <gtest/gtest.h>
#include <mbedtls/pem.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>

#include "server/peer_tools.h"
#include "support/test_dir.h"
#include "util/encoding.h"
#include "util/files.h"

namespace bridge {
namespace {

namespace fs = std::filesystem;
using test::capture;
using test::quoted;

constexpr std::time_t kDay = 86400;

struct Chain {
  Chain() { mbedtls_x509_crt_init(&crt); }
  ~Chain() { mbedtls_x509_crt_free(&crt); }
  mbedtls_x509_crt crt;
};

std::time_t utc(const mbedtls_x509_time& t) {
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.mon - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.min;
  tm.tm_sec = t.sec;
  return timegm(&tm);
}

std::string serialOf(const fs::path& pem) {
  Chain c;
  if (mbedtls_x509_crt_parse_file(&c.crt, pem.c_str()) != 0) return {};
  return std::string(reinterpret_cast<const char*>(c.crt.serial.p), c.crt.serial.len);
}

std::string openssl(const std::string& args) {
  int status = 0;
  std::string out = capture("/usr/bin/openssl " + args, status);
  return status == 0 ? out : "failed: " + out;
}

// ecdsa-with-SHA256 as an AlgorithmIdentifier without parameters.
constexpr char kBareEcdsaSha256[] = "300a06082a8648ce3d040302";

// A certificate's DER split around its two signature AlgorithmIdentifiers (in
// the TBSCertificate and after it), and joined again.
struct CertParts {
  std::string head;  // the TBSCertificate's version and serial number
  std::string tbsAlgorithm;
  std::string tail;  // the TBSCertificate's fields after its signature algorithm
  std::string algorithm;
  std::string signature;
};

// The size of the DER element at `at`; `body` gets where its content starts.
size_t element(const std::string& der, size_t at, size_t& body) {
  auto byte = [&](size_t i) { return i < der.size() ? static_cast<unsigned char>(der[i]) : 0u; };
  size_t len = byte(at + 1), lengthBytes = 0;
  if (len & 0x80) {
    lengthBytes = len & 0x7F;
    len = 0;
    for (size_t i = 0; i < lengthBytes; ++i) len = len << 8 | byte(at + 2 + i);
  }
  body = at + 2 + lengthBytes;
  return body - at + len;
}

std::string tlv(unsigned char tag, const std::string& content) {
  std::string out(1, static_cast<char>(tag));
  const size_t n = content.size();
  if (n < 0x80) {
    out += static_cast<char>(n);
  } else if (n < 0x100) {
    out += {'\x81', static_cast<char>(n)};
  } else {
    out += {'\x82', static_cast<char>(n >> 8), static_cast<char>(n & 0xFF)};
  }
  return out + content;
}

CertParts split(const std::string& der) {
  CertParts parts;
  size_t certBody = 0, tbsBody = 0, body = 0;
  element(der, 0, certBody);
  const size_t tbsEnd = certBody + element(der, certBody, tbsBody);
  size_t at = tbsBody;
  at += element(der, at, body);  // [0] version
  at += element(der, at, body);  // serial number
  parts.head = der.substr(tbsBody, at - tbsBody);
  size_t n = element(der, at, body);
  parts.tbsAlgorithm = der.substr(at, n);
  parts.tail = der.substr(at + n, tbsEnd - at - n);
  n = element(der, tbsEnd, body);
  parts.algorithm = der.substr(tbsEnd, n);
  parts.signature = der.substr(tbsEnd + n);
  return parts;
}

std::string join(const CertParts& p) {
  return tlv(0x30, tlv(0x30, p.head + p.tbsAlgorithm + p.tail) + p.algorithm + p.signature);
}

std::string hexOf(const std::string& s) { return hex(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

// An AlgorithmIdentifier given a NULL parameter after its OID.
std::string withNull(const std::string& algorithm) {
  size_t body = 0;
  element(algorithm, 0, body);
  return tlv(0x30, algorithm.substr(body) + std::string("\x05\x00", 2));
}

std::vector<std::string> chainDer(const fs::path& pem) {
  Chain c;
  std::vector<std::string> out;
  if (mbedtls_x509_crt_parse_file(&c.crt, pem.c_str()) != 0) return out;
  for (const mbedtls_x509_crt* p = &c.crt; p && p->raw.p; p = p->next)
    out.emplace_back(reinterpret_cast<const char*>(p->raw.p), p->raw.len);
  return out;
}

void writeChain(const fs::path& pem, const std::vector<std::string>& ders) {
  std::string text;
  for (const std::string& der : ders) {
    std::vector<unsigned char> buf(4096);
    size_t n = 0;
    ASSERT_EQ(mbedtls_pem_write_buffer("-----BEGIN CERTIFICATE-----\n", "-----END CERTIFICATE-----\n",
                                       reinterpret_cast<const unsigned char*>(der.data()), der.size(), buf.data(),
                                       buf.size(), &n),
              0);
    text += reinterpret_cast<const char*>(buf.data());
  }
  ASSERT_TRUE(writeFile(pem, text, false));
}

// cert.pem rewritten with the NULL parameter in one signature algorithm of one
// certificate (0 the server's, 1 the authority's), as older builds wrote it.
void nullInCertificate(const fs::path& dir, size_t which, bool inTbs) {
  std::vector<std::string> ders = chainDer(dir / "cert.pem");
  ASSERT_EQ(ders.size(), 2u);
  CertParts parts = split(ders[which]);
  std::string& algorithm = inTbs ? parts.tbsAlgorithm : parts.algorithm;
  algorithm = withNull(algorithm);
  ders[which] = join(parts);
  writeChain(dir / "cert.pem", ders);
}

class Identity : public ::testing::Test {
 protected:
  fs::path dir = test::testDir() / "state";
};

TEST_F(Identity, FirstCallMakesAuthorityAndServerCertificate) {
  std::string error = "untouched";
  auto id = loadOrCreateIdentity(dir, error);
  ASSERT_TRUE(id) << error;
  EXPECT_EQ(error, "untouched");
  for (const char* f : {"key.pem", "cert.pem", "ca.pem"}) EXPECT_TRUE(fs::exists(dir / f)) << f;
  EXPECT_FALSE(fs::exists(dir / "key.pem.tmp"));
  struct stat st {};
  ASSERT_EQ(::stat((dir / "key.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(authorityFile(dir), dir / "ca.pem");

  // The chain: the server certificate, then the authority, which ca.pem holds alone.
  ASSERT_NE(id->cert.next, nullptr);
  EXPECT_EQ(id->cert.next->next, nullptr);
  Chain ca;
  ASSERT_EQ(mbedtls_x509_crt_parse_file(&ca.crt, authorityFile(dir).c_str()), 0);
  EXPECT_EQ(ca.crt.raw.len, id->cert.next->raw.len);
  EXPECT_EQ(std::memcmp(ca.crt.raw.p, id->cert.next->raw.p, ca.crt.raw.len), 0);
  const std::string certPem = readFile(dir / "cert.pem"), caPem = readFile(dir / "ca.pem");
  EXPECT_TRUE(certPem.starts_with("-----BEGIN CERTIFICATE-----\n"));
  EXPECT_GT(certPem.size(), caPem.size());
  EXPECT_TRUE(certPem.ends_with(caPem));

  const mbedtls_x509_crt* certs[] = {&id->cert, id->cert.next};
  const std::time_t lifetimes[] = {69120000, 315360000};
  for (int i = 0; i < 2; ++i) {
    const mbedtls_x509_crt* c = certs[i];
    EXPECT_EQ(c->version, 3);
    ASSERT_EQ(c->serial.len, 16u);
    EXPECT_GE(c->serial.p[0], 0x40);
    EXPECT_LE(c->serial.p[0], 0x7F);
    EXPECT_EQ(utc(c->valid_to) - utc(c->valid_from), lifetimes[i] + 3600);
    EXPECT_NEAR(static_cast<double>(utc(c->valid_from)), static_cast<double>(std::time(nullptr) - 3600), 120.0);
  }
  EXPECT_NE(std::string(reinterpret_cast<const char*>(id->cert.serial.p), 16),
            std::string(reinterpret_cast<const char*>(id->cert.next->serial.p), 16));
}

TEST_F(Identity, CertificatesReadByAnIndependentParser) {
  std::string error;
  ASSERT_TRUE(loadOrCreateIdentity(dir, error)) << error;
  const std::string cert = quoted((dir / "cert.pem").string()), ca = quoted((dir / "ca.pem").string());

  char date[16];
  std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y%m%d", std::gmtime(&now));
  const std::string authority = std::string("CN = Krevlo Bridge local authority ") + date + ", O = Krevlo Bridge";

  std::string server = openssl("x509 -noout -subject -issuer -ext basicConstraints,keyUsage,extendedKeyUsage,"
                               "subjectAltName,subjectKeyIdentifier,authorityKeyIdentifier -in " + cert);
  EXPECT_NE(server.find("subject=CN = 127.0.0.1, O = Krevlo Bridge"), std::string::npos) << server;
  EXPECT_NE(server.find("issuer=" + authority), std::string::npos) << server;
  EXPECT_NE(server.find("CA:FALSE"), std::string::npos) << server;
  EXPECT_NE(server.find("Digital Signature"), std::string::npos) << server;
  EXPECT_NE(server.find("TLS Web Server Authentication"), std::string::npos) << server;
  EXPECT_NE(server.find("IP Address:127.0.0.1, DNS:localhost"), std::string::npos) << server;
  EXPECT_NE(server.find("Subject Key Identifier"), std::string::npos) << server;
  EXPECT_NE(server.find("Authority Key Identifier"), std::string::npos) << server;

  std::string root = openssl("x509 -noout -subject -issuer -ext basicConstraints,keyUsage,extendedKeyUsage,"
                             "subjectKeyIdentifier -in " + ca);
  EXPECT_NE(root.find("subject=" + authority), std::string::npos) << root;
  EXPECT_NE(root.find("issuer=" + authority), std::string::npos) << root;
  EXPECT_NE(root.find("CA:TRUE, pathlen:0"), std::string::npos) << root;
  EXPECT_NE(root.find("Certificate Sign, CRL Sign"), std::string::npos) << root;
  EXPECT_EQ(root.find("Extended Key Usage"), std::string::npos) << root;

  EXPECT_EQ(openssl("verify -purpose sslserver -verify_ip 127.0.0.1 -CAfile " + ca + " " + cert),
            (dir / "cert.pem").string() + ": OK\n");
  EXPECT_EQ(openssl("verify -purpose sslserver -verify_hostname localhost -CAfile " + ca + " " + cert),
            (dir / "cert.pem").string() + ": OK\n");
}

TEST_F(Identity, SignatureAlgorithmsCarryNoParameters) {
  std::string error;
  ASSERT_TRUE(loadOrCreateIdentity(dir, error)) << error;
  const std::vector<std::string> ders = chainDer(dir / "cert.pem");
  ASSERT_EQ(ders.size(), 2u);
  for (size_t i = 0; i < ders.size(); ++i) {
    const CertParts parts = split(ders[i]);
    ASSERT_EQ(join(parts), ders[i]) << i;  // the split loses nothing
    EXPECT_EQ(hexOf(parts.tbsAlgorithm), kBareEcdsaSha256) << i;
    EXPECT_EQ(hexOf(parts.algorithm), kBareEcdsaSha256) << i;
  }
  EXPECT_EQ(chainDer(dir / "ca.pem"), std::vector<std::string>{ders[1]});

  // The signatures are good: the authority's over itself, the server's by the authority.
  Chain ca, server;
  ASSERT_EQ(mbedtls_x509_crt_parse_file(&ca.crt, (dir / "ca.pem").c_str()), 0);
  ASSERT_EQ(mbedtls_x509_crt_parse_der(&server.crt, reinterpret_cast<const unsigned char*>(ders[0].data()),
                                       ders[0].size()),
            0);
  for (mbedtls_x509_crt* subject : {&ca.crt, &server.crt}) {
    uint32_t flags = 0;
    EXPECT_EQ(mbedtls_x509_crt_verify(subject, &ca.crt, nullptr, nullptr, &flags, nullptr, nullptr), 0) << flags;
  }
  EXPECT_EQ(openssl("verify -check_ss_sig -CAfile " + quoted(authorityFile(dir).string()) + " " +
                    quoted(authorityFile(dir).string())),
            authorityFile(dir).string() + ": OK\n");

  // Written back unchanged, the chain still loads: the rewriting in the next
  // test is not what makes an identity unusable there.
  writeChain(dir / "cert.pem", ders);
  EXPECT_NE(loadIdentity(dir, std::time(nullptr)), nullptr);
}

TEST_F(Identity, SecondCallReusesTheFiles) {
  std::string error;
  ASSERT_TRUE(loadOrCreateIdentity(dir, error));
  const std::string key = readFile(dir / "key.pem"), cert = readFile(dir / "cert.pem");
  const auto stamp = fs::last_write_time(dir / "cert.pem");
  fs::remove(dir / "ca.pem");  // not needed for loading
  auto again = loadOrCreateIdentity(dir, error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(readFile(dir / "key.pem"), key);
  EXPECT_EQ(readFile(dir / "cert.pem"), cert);
  EXPECT_EQ(fs::last_write_time(dir / "cert.pem"), stamp);
  EXPECT_FALSE(fs::exists(dir / "ca.pem"));
}

TEST_F(Identity, RenewedWhenLessThan30DaysLeft) {
  const std::time_t now = std::time(nullptr);
  struct Case {
    std::time_t daysLeft;
    bool renewed;
  };
  for (Case c : {Case{29, true}, Case{31, false}}) {
    std::string error;
    // Made so long ago that the server certificate has `daysLeft` days to go.
    ASSERT_TRUE(createIdentityFiles(dir, now - (800 - c.daysLeft) * kDay, error)) << error;
    const std::string serverSerial = serialOf(dir / "cert.pem"), caSerial = serialOf(dir / "ca.pem");
    auto id = loadOrCreateIdentity(dir, error);
    ASSERT_TRUE(id) << error;
    EXPECT_EQ(serialOf(dir / "cert.pem") != serverSerial, c.renewed) << c.daysLeft;
    EXPECT_EQ(serialOf(dir / "ca.pem") != caSerial, c.renewed) << c.daysLeft;
    EXPECT_EQ(loadIdentity(dir, now) != nullptr, true);
  }
}

TEST_F(Identity, UnusableFilesAreReplaced) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> spoil;
  };
  const fs::path other = test::testDir() / "other";
  std::string error;
  ASSERT_TRUE(createIdentityFiles(other, std::time(nullptr), error)) << error;
  const Case cases[] = {
      {"keyGarbage", [](const fs::path& d) { writeFile(d / "key.pem", "not a key", true); }},
      {"keyMissing", [](const fs::path& d) { fs::remove(d / "key.pem"); }},
      {"certMissing", [](const fs::path& d) { fs::remove(d / "cert.pem"); }},
      {"certTruncated", [](const fs::path& d) { writeFile(d / "cert.pem", readFile(d / "cert.pem").substr(0, 300), false); }},
      // A key of another identity would parse, and every handshake would fail.
      {"keyOfAnotherIdentity", [&](const fs::path& d) { writeFile(d / "key.pem", readFile(other / "key.pem"), true); }},
      // Older builds wrote a NULL parameter after the ECDSA algorithm, which
      // Chromium refuses: in either place, in either certificate.
      {"serverTbsAlgorithmNull", [](const fs::path& d) { nullInCertificate(d, 0, true); }},
      {"serverAlgorithmNull", [](const fs::path& d) { nullInCertificate(d, 0, false); }},
      {"authorityTbsAlgorithmNull", [](const fs::path& d) { nullInCertificate(d, 1, true); }},
      {"authorityAlgorithmNull", [](const fs::path& d) { nullInCertificate(d, 1, false); }},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir);
    ASSERT_TRUE(loadOrCreateIdentity(dir, error)) << error;
    const std::string serial = serialOf(dir / "ca.pem");
    c.spoil(dir);
    EXPECT_EQ(loadIdentity(dir, std::time(nullptr)), nullptr) << c.name;
    auto id = loadOrCreateIdentity(dir, error);
    ASSERT_TRUE(id) << c.name << ": " << error;
    EXPECT_NE(serialOf(dir / "ca.pem"), serial) << c.name;
    EXPECT_NE(loadIdentity(dir, std::time(nullptr)), nullptr) << c.name;
    for (const std::string& der : chainDer(dir / "cert.pem")) {
      EXPECT_EQ(hexOf(split(der).tbsAlgorithm), kBareEcdsaSha256) << c.name;
      EXPECT_EQ(hexOf(split(der).algorithm), kBareEcdsaSha256) << c.name;
    }
  }
}

TEST_F(Identity, UnwritableFolder) {
  writeFile(test::testDir() / "file", "x", false);
  std::string error;
  EXPECT_EQ(loadOrCreateIdentity(test::testDir() / "file" / "state", error), nullptr);
  EXPECT_EQ(error, "can't write the certificate files");
}

}  // namespace
}  // namespace bridge
