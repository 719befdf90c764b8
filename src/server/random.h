#pragma once
// The one random generator of the process: CTR-DRBG seeded from the entropy
// collector. Every nonce, token, key and serial number comes from it.
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>

#include <cstddef>
#include <mutex>

namespace bridge {

// Thread-safe: any thread may call fill; every draw holds `mutex`, and no other
// lock is taken inside.
class Random {
 public:
  using EntropySource = int (*)(void* context, unsigned char* out, size_t size);

  Random();  // the entropy collector with the library's default sources
  // Seeds from `source` instead; lets tests make the entropy fail.
  Random(EntropySource source, void* context);
  ~Random();
  Random(const Random&) = delete;
  Random& operator=(const Random&) = delete;

  // Writes `size` random bytes. False when the generator is not seeded or a draw
  // failed: `out` is then zeroed and must not be used (a predictable nonce or key
  // is worse than none). Seeding is retried on every call until it succeeds.
  // Requests of any size are served, in pieces the generator accepts.
  [[nodiscard]] bool fill(void* out, size_t size);

 private:
  bool seedLocked();

  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  std::mutex mutex;
  EntropySource source_;
  void* sourceContext_;
  bool seeded_ = false;
};

// The process-wide instance, built on first use.
Random& random();

// mbedTLS random callbacks over a Random (`context`, or the process-wide one when
// null). 0 on success, an mbedTLS error code when the draw failed, so the calling
// operation fails instead of using bad bytes. rngCallback serves key generation,
// key parsing and certificate writing; tlsRandom every TLS configuration.
int rngCallback(void* context, unsigned char* out, size_t size);
int tlsRandom(void* context, unsigned char* out, size_t size);

}  // namespace bridge
