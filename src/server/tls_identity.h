#pragma once
// The server's certificate and key, made by a local certificate authority of our
// own and kept in the state folder as "key.pem", "cert.pem" and "ca.pem".
#include <mbedtls/pk.h>
#include <mbedtls/x509_crt.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

namespace bridge {

// The loaded server certificate chain (server certificate first, then the
// authority) and the server's private key. Built once, then only read: every TLS
// connection thread reads it at the same time, so nothing may change it while a
// Server uses it.
class TlsIdentity {
 public:
  TlsIdentity();
  ~TlsIdentity();
  TlsIdentity(const TlsIdentity&) = delete;
  TlsIdentity& operator=(const TlsIdentity&) = delete;

  mbedtls_x509_crt cert;
  mbedtls_pk_context key;
};

// Loads the identity from `dir`, or makes a new authority and server certificate
// when the files are missing, unreadable, do not belong together, are encoded in
// a way browsers refuse, or the server certificate has less than 30 days left. On failure returns null and sets
// `error` to the reason (untouched on success). Blocking; any one thread.
std::unique_ptr<TlsIdentity> loadOrCreateIdentity(const std::filesystem::path& dir, std::string& error);

// dir / "ca.pem": the authority certificate that browsers must trust.
std::filesystem::path authorityFile(const std::filesystem::path& dir);

// The two halves of loadOrCreateIdentity, with the clock passed in.
// loadIdentity: null when any file does not parse, the key does not match the
// server certificate, a certificate's signature algorithm identifier carries
// parameters, or the certificate ends less than 30 days after `now`.
std::unique_ptr<TlsIdentity> loadIdentity(const std::filesystem::path& dir, std::time_t now);
// createIdentityFiles: makes a new authority, issues the server certificate dated
// from `now`, writes the three files and forgets the authority's key.
bool createIdentityFiles(const std::filesystem::path& dir, std::time_t now, std::string& error);

}  // namespace bridge
