#include "server/random.h"

#include <psa/crypto.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace bridge {

namespace {

constexpr unsigned char kPersonalisation[] = {'q', 'u', 'i', 'l', 'l', 'e', 't'};

void report(const char* what, int rc) {
  // Rare and serious: everything secret would be guessable. Callers fail on it too.
  std::fprintf(stderr, "Krevlo Bridge: random generator %s failed (mbedTLS error -0x%04x)\n", what,
               static_cast<unsigned>(-rc));
}

}  // namespace

Random::Random() : Random(nullptr, nullptr) {}

Random::Random(EntropySource source, void* context) : source_(source), sourceContext_(context) {
  // PSA must be up before any TLS or key work; when it fails, those operations
  // report their own errors.
  (void)psa_crypto_init();
  mbedtls_entropy_init(&entropy);
  mbedtls_ctr_drbg_init(&drbg);
  if (!source_) {
    source_ = mbedtls_entropy_func;
    sourceContext_ = &entropy;
  }
  std::lock_guard<std::mutex> lock(mutex);
  seedLocked();
}

Random::~Random() {
  mbedtls_ctr_drbg_free(&drbg);
  mbedtls_entropy_free(&entropy);
}

bool Random::seedLocked() {
  int rc = mbedtls_ctr_drbg_seed(&drbg, source_, sourceContext_, kPersonalisation, sizeof kPersonalisation);
  if (rc != 0) {
    report("seeding", rc);
    // A failed seed can leave the context half set up; start over next time.
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_ctr_drbg_init(&drbg);
    return false;
  }
  seeded_ = true;
  return true;
}

bool Random::fill(void* out, size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  std::lock_guard<std::mutex> lock(mutex);
  if (!seeded_ && !seedLocked()) {
    std::memset(bytes, 0, size);
    return false;
  }
  for (size_t done = 0; done < size;) {
    size_t piece = std::min<size_t>(size - done, MBEDTLS_CTR_DRBG_MAX_REQUEST);
    int rc = mbedtls_ctr_drbg_random(&drbg, bytes + done, piece);
    if (rc != 0) {
      report("draw", rc);
      std::memset(bytes, 0, size);
      return false;
    }
    done += piece;
  }
  return true;
}

Random& random() {
  static Random instance;
  return instance;
}

int rngCallback(void* context, unsigned char* out, size_t size) {
  Random& r = context ? *static_cast<Random*>(context) : random();
  return r.fill(out, size) ? 0 : MBEDTLS_ERR_CTR_DRBG_ENTROPY_SOURCE_FAILED;
}

int tlsRandom(void* context, unsigned char* out, size_t size) { return rngCallback(context, out, size); }

}  // namespace bridge
