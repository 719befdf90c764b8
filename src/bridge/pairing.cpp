// Pairing codes, "pair", "auth" and forgetting pairings; the HMAC helpers.
#include "bridge/pairing.h"

#include <mbedtls/md.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "bridge/bridge.h"
#include "bridge/protocol.h"
#include "server/random.h"
#include "util/encoding.h"

namespace bridge {

namespace {

constexpr double kCodeLifetimeMs = 300000.0;
constexpr size_t kMinClientNonce = 16;
constexpr size_t kTokenBytes = 32;

const char* const kPausedMessage =
    "Krevlo Bridge stopped pairing after wrong codes. Choose New Pairing Code in Krevlo Bridge, then type the new "
    "code.";
const char* const kPausingMessage =
    "That code doesn't match, and Krevlo Bridge stopped pairing after wrong codes. Choose New Pairing Code in Krevlo "
    "Bridge, then type the new code.";
const char* const kBadCodeMessage = "That code doesn't match the one in Krevlo Bridge.";
const char* const kUnpairedMessage = "Pair this browser again: Krevlo Bridge does not know it.";

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

double unixSeconds() {
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
  return static_cast<double>(us / 1000000);
}

}  // namespace

std::string pairingCodeText(uint32_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "%06u", static_cast<unsigned>(v % 1000000u));
  return text;
}

bool decodeHex(const std::string& text, std::vector<uint8_t>& out) {
  out.clear();
  if (text.size() % 2 != 0) return false;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) {
      out.clear();
      return false;
    }
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}

bool tokenKey(const std::string& token, std::vector<uint8_t>& key) {
  return token.size() == 2 * kTokenBytes && decodeHex(token, key);
}

std::string hmacSha256Hex(const std::vector<uint8_t>& key, const std::string& message) {
  const mbedtls_md_info_t* info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
  if (!info) return "";
  uint8_t mac[32];
  if (mbedtls_md_hmac(info, key.data(), key.size(), reinterpret_cast<const unsigned char*>(message.data()),
                      message.size(), mac) != 0)
    return "";
  return hex(mac, sizeof mac);
}

bool sameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned diff = 0;
  for (size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned>(static_cast<uint8_t>(a[i]) ^ static_cast<uint8_t>(b[i]));
  return diff == 0;
}

void Bridge::newCode() {
  // Drawn even with a fixed code, so the generator is used the same way.
  uint8_t bytes[4] = {};
  bool drawn = random().fill(bytes, sizeof bytes);
  uint32_t v = 0;
  std::memcpy(&v, bytes, sizeof v);
  // Without a good draw there is no code (nothing matches) rather than a
  // predictable one; the next new code tries the generator again.
  if (!options.fixedCode.empty())
    code = options.fixedCode;
  else
    code = drawn ? pairingCodeText(v) : "";
  wrongCodes = 0;
  pairingPaused = false;
  codeTime = clockMs();
  notifyChanged();
}

void Bridge::rotateCode() {
  if (!pairingPaused && options.fixedCode.empty() && clockMs() - codeTime > kCodeLifetimeMs) newCode();
}

void Bridge::handlePair(const std::shared_ptr<Session>& session, const std::string& t, const Json& request) {
  std::string typed = readString(request, "code", kMaxCode);
  std::string name = readString(request, "name", kMaxName);
  if (pairingPaused) {
    sendError(*session, t, "pairing-paused", kPausedMessage);
    return;
  }
  if (code.empty() || !sameText(typed, code)) {
    // One count for the whole Bridge: guessing from several browsers adds up.
    if (wrongCodes++ >= 2) {
      pairingPaused = true;
      code.clear();
      notifyChanged();
      sendError(*session, t, "pairing-paused", kPausingMessage);
    } else {
      sendError(*session, t, "bad-code", kBadCodeMessage);
    }
    return;
  }
  Pairing pairing{randomHex(8), randomHex(kTokenBytes), session->connection->origin, name, unixSeconds()};
  if (pairing.id.empty() || pairing.token.empty()) {
    sendError(*session, t, "bad-request");
    return;
  }
  pairings.push_back(pairing);
  if (!saveState().pairings) {
    // A token that the file does not hold would be forgotten at the next start;
    // refuse the pairing instead, and keep memory equal to the file.
    pairings.pop_back();
    sendError(*session, t, "bad-request");
    return;
  }
  session->ready = true;
  session->pairingId = pairing.id;
  session->name = pairing.name;
  newCode();
  send(*session, Json{{"t", "paired"}, {"id", pairing.id}, {"token", pairing.token}});
  send(*session, Json{{"t", "ready"}});
  send(*session, placesMessage());
  notifyChanged();
}

void Bridge::handleAuth(const std::shared_ptr<Session>& session, const std::string& t, const Json& request) {
  std::string id = readString(request, "id", kMaxId);
  std::string clientNonce = readString(request, "nonce", kMaxNonce);
  std::string mac = readString(request, "mac", kMaxMac);
  const std::string& origin = session->connection->origin;
  const Pairing* found = nullptr;
  if (clientNonce.size() >= kMinClientNonce)
    for (const Pairing& p : pairings)
      if (p.id == id && p.origin == origin) {
        found = &p;
        break;
      }
  if (!found) {
    sendError(*session, t, "unpaired", kUnpairedMessage);
    return;
  }
  std::vector<uint8_t> key;
  if (!tokenKey(found->token, key)) {
    // Only an edited pairings.json gets here; an empty or short key would let
    // anyone who knows the id and the origin in.
    sendError(*session, t, "bad-request");
    return;
  }
  std::string expected = hmacSha256Hex(key, "client|" + session->nonce + "|" + clientNonce);
  if (expected.empty() || !sameText(mac, expected)) {
    sendError(*session, t, "unpaired", kUnpairedMessage);
    return;
  }
  std::string reply = hmacSha256Hex(key, "bridge|" + clientNonce + "|" + session->nonce);
  if (reply.empty()) {
    sendError(*session, t, "bad-request");
    return;
  }
  session->ready = true;
  session->pairingId = found->id;
  session->name = found->name;
  send(*session, Json{{"t", "ready"}, {"mac", reply}});
  send(*session, placesMessage());
  notifyChanged();
}

void Bridge::forgetPairings() {
  std::vector<Pairing> old = std::move(pairings);
  pairings.clear();
  if (!saveState().pairings) {
    // The file still holds the tokens: say so by keeping them, rather than show
    // none and bring them back at the next start.
    pairings = std::move(old);
    notifyChanged();
    return;
  }
  for (auto& [id, session] : sessions) session->connection->close();
  notifyChanged();
}

}  // namespace bridge
