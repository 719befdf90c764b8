// Pairing codes, "pair", "auth" and forgetting pairings.
#include "bridge/pairing.h"

#include <gtest/gtest.h>

#include "bridge/protocol.h"
#include "bridge_fixture.h"
#include "support/manual_clock.h"
#include "util/files.h"

namespace bridge::test {
namespace {

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

// RFC 4231, HMAC-SHA-256 (test case 5 truncates its output and is left out).
TEST(BridgeHmac, MatchesRfc4231) {
  std::vector<uint8_t> key25;
  for (uint8_t b = 1; b <= 25; ++b) key25.push_back(b);
  struct Case {
    std::vector<uint8_t> key;
    std::string data;
    const char* mac;
  } cases[] = {
      {std::vector<uint8_t>(20, 0x0b), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {bytes("Jefe"), "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::vector<uint8_t>(20, 0xaa), std::string(50, '\xdd'),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {key25, std::string(50, '\xcd'), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {std::vector<uint8_t>(131, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {std::vector<uint8_t>(131, 0xaa),
       "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
       "hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const auto& c : cases) EXPECT_EQ(hmacSha256Hex(c.key, c.data), c.mac) << c.data;
}

TEST(BridgeHex, DecodesStrictly) {
  struct Case {
    std::string text;
    bool ok;
    std::vector<uint8_t> out;
  } cases[] = {
      {"", true, {}},
      {"00ff7f", true, {0x00, 0xff, 0x7f}},
      {"AbCd", true, {0xab, 0xcd}},
      {"1z", false, {}},
      {"z1", false, {}},
      {"0x12", false, {}},
      {"abc", false, {}},
      {"+1", false, {}},
      {"-1", false, {}},
      {" 1", false, {}},
      {"1 ", false, {}},
      {std::string("a\0", 2), false, {}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out{9};
    EXPECT_EQ(decodeHex(c.text, out), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(out, c.out) << c.text;
    }
  }
}

TEST(BridgeHex, OnlyThirtyTwoBytesMakeAKey) {
  std::string good(64, 'a');
  std::vector<uint8_t> key;
  EXPECT_TRUE(tokenKey(good, key));
  EXPECT_EQ(key.size(), 32u);
  for (std::string bad : {std::string(), std::string(62, 'a'), std::string(63, 'a'), std::string(66, 'a'),
                          std::string(63, 'a') + "z", std::string(62, 'a') + "1z"})
    EXPECT_FALSE(tokenKey(bad, key)) << bad;
}

TEST(BridgePairingCode, SixDigitsWithLeadingZeros) {
  EXPECT_EQ(pairingCodeText(1234), "001234");
  EXPECT_EQ(pairingCodeText(0), "000000");
  EXPECT_EQ(pairingCodeText(999999), "999999");
  EXPECT_EQ(pairingCodeText(1000000), "000000");
  EXPECT_EQ(pairingCodeText(4294967295u), "967295");
  EXPECT_TRUE(sameText("123456", "123456"));
  EXPECT_FALSE(sameText("123456", "123457"));
  EXPECT_FALSE(sameText("123456", "1234567"));
  EXPECT_FALSE(sameText("", "1"));
}

class BridgePairing : public BridgeTest {
 protected:
  std::string error(const std::string& code, const std::string& message, const std::string& t = "pair") {
    return Json{{"t", "error"}, {"code", code}, {"for", t}, {"message", message}}.dump();
  }
  const std::string badCode = error("bad-code", "That code doesn't match the one in Krevlo Bridge.");
  const std::string pausing =
      error("pairing-paused",
            "That code doesn't match, and Krevlo Bridge stopped pairing after wrong codes. Choose New Pairing Code in "
            "Krevlo Bridge, then type the new code.");
  const std::string paused = error("pairing-paused",
                                   "Krevlo Bridge stopped pairing after wrong codes. Choose New Pairing Code in Krevlo "
                                   "Bridge, then type the new code.");
  const std::string unpaired = error("unpaired", "Pair this browser again: Krevlo Bridge does not know it.", "auth");

  std::vector<std::string> typeCode(const std::shared_ptr<FakeConnection>& c, const std::string& code) {
    return say(c, Json{{"t", "pair"}, {"code", code}, {"name", "Test"}});
  }
};

TEST_F(BridgePairing, WrongCodesFromTwoBrowsersAddUpAndPause) {
  make("123456");
  auto a = connect(1);
  auto b = connect(2, "https://staging.daw.krevlo.example");
  EXPECT_EQ(typeCode(a, "000000"), std::vector<std::string>{badCode});
  EXPECT_EQ(typeCode(b, "000001"), std::vector<std::string>{badCode});
  int before = changes;
  EXPECT_EQ(typeCode(a, "000002"), std::vector<std::string>{pausing});
  EXPECT_GT(changes, before);
  EXPECT_TRUE(bridge->status().pairingPaused);
  EXPECT_EQ(bridge->status().code, "");
  // Even the right code is refused now, and nothing more is counted.
  EXPECT_EQ(typeCode(b, "123456"), std::vector<std::string>{paused});
  EXPECT_EQ(typeCode(a, "000003"), std::vector<std::string>{paused});
  bridge->newCode();
  EXPECT_FALSE(bridge->status().pairingPaused);
  EXPECT_EQ(bridge->status().code, "123456");
  EXPECT_EQ(typeCode(b, "123456").size(), 3u);
}

TEST_F(BridgePairing, TypedCodeMustMatchExactly) {
  make("123456");
  auto c = connect(1);
  for (const char* typed : {"123456 ", " 123456", "1234567", "12345", "", "１２３４５６", "123456789012345"}) {
    EXPECT_EQ(typeCode(c, typed), std::vector<std::string>{badCode}) << typed;
    bridge->newCode();  // clears the count
  }
  // The typed code is cut to 12 bytes before it is compared.
  bridge = nullptr;
  make("123456789012");
  c = connect(1);
  EXPECT_EQ(typeCode(c, "123456789012345").size(), 3u);
}

TEST_F(BridgePairing, SuccessRepliesPairedReadyPlacesAndSaves) {
  ManualClock clock;
  make();
  probe().setClock(clock.fn());
  bridge->newCode();
  std::string code = bridge->status().code;
  ASSERT_EQ(code.size(), 6u);
  auto c = connect(1, "https://staging.daw.krevlo.example");
  EXPECT_EQ(say(c, std::string(R"({"t":"plugins"})")).size(), 1u);  // unauthenticated
  clock.advance(1000);
  auto replies = say(c, Json{{"t", "pair"}, {"code", code}, {"name", "Firefox on Linux"}});
  ASSERT_EQ(replies.size(), 3u);
  Json paired = Json::parse(replies[0]);
  std::string id = paired.value("id", ""), token = paired.value("token", "");
  Json expected{{"t", "paired"}, {"id", id}, {"token", token}};
  EXPECT_EQ(replies[0], expected.dump());
  EXPECT_EQ(id.size(), 16u);
  EXPECT_EQ(token.size(), 64u);
  EXPECT_EQ((id + token).find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(replies[1], R"({"t":"ready"})");
  EXPECT_EQ(replies[2], R"({"canAdd":false,"list":[],"t":"places"})");
  // A new code was made, and the session is ready.
  EXPECT_EQ(probe().codeTime(), 1000.0);
  EXPECT_EQ(say(c, std::string(R"({"t":"plugins"})")),
            std::vector<std::string>{R"({"list":[],"scanning":false,"t":"plugins"})"});

  ASSERT_EQ(probe().pairings().size(), 1u);
  const Pairing& p = probe().pairings()[0];
  EXPECT_EQ(p.id, id);
  EXPECT_EQ(p.token, token);
  EXPECT_EQ(p.origin, "https://staging.daw.krevlo.example");
  EXPECT_EQ(p.name, "Firefox on Linux");
  double now = static_cast<double>(std::time(nullptr));
  EXPECT_EQ(p.created, std::floor(p.created));
  EXPECT_NEAR(p.created, now, 5.0);
  Json file = Json::parse(readFile(dataDir() / "pairings.json"));
  EXPECT_EQ(file.size(), 1u);
  EXPECT_EQ(file[0]["token"], token);
}

TEST_F(BridgePairing, CodeRotatesAfterFiveMinutesUnlessPausedOrFixed) {
  ManualClock clock;
  make();
  probe().setClock(clock.fn());
  bridge->newCode();
  clock.advance(300000);
  probe().tick();
  EXPECT_EQ(probe().codeTime(), 0.0);
  clock.advance(1);
  int before = changes;
  probe().tick();
  EXPECT_EQ(probe().codeTime(), 300001.0);
  EXPECT_GT(changes, before);
  EXPECT_EQ(bridge->status().code.size(), 6u);

  // A paused code is never rotated.
  auto c = connect(1);
  for (int i = 0; i < 3; ++i) typeCode(c, "x");
  clock.advance(600000);
  probe().tick();
  EXPECT_TRUE(bridge->status().pairingPaused);
  EXPECT_EQ(bridge->status().code, "");
}

TEST_F(BridgePairing, FixedCodeNeverChangesButStillPauses) {
  ManualClock clock;
  make("246810");
  probe().setClock(clock.fn());
  auto c = connect(1);
  EXPECT_EQ(typeCode(c, "246810").size(), 3u);
  EXPECT_EQ(bridge->status().code, "246810");
  clock.advance(3600000);
  probe().tick();
  EXPECT_EQ(bridge->status().code, "246810");
  auto d = connect(2);
  for (int i = 0; i < 3; ++i) typeCode(d, "111111");
  EXPECT_EQ(bridge->status().code, "");
  bridge->newCode();
  EXPECT_EQ(bridge->status().code, "246810");
}

class BridgeAuth : public BridgePairing {
 protected:
  std::string id, token;

  void SetUp() override {
    make("123456");
    auto c = connect(1);
    Json paired = pair(c, "123456");
    id = paired.value("id", "");
    token = paired.value("token", "");
    probe().close(c);
    queue.drain();
  }

  std::string mac(const std::string& key, const std::string& message) {
    std::vector<uint8_t> k;
    EXPECT_TRUE(decodeHex(key, k));
    return hmacSha256Hex(k, message);
  }
};

TEST_F(BridgeAuth, ProvesBothSides) {
  struct Case {
    std::string name;
    std::string origin;
    std::string id;
    std::string clientNonce;
    bool upperMac;
    bool wrongSessionNonce;
    bool ok;
  } cases[] = {
      {"good", "https://daw.krevlo.example", "", "0123456789abcdef", false, false, true},
      {"long nonce", "https://daw.krevlo.example", "", std::string(64, 'n'), false, false, true},
      {"other origin", "https://staging.daw.krevlo.example", "", "0123456789abcdef", false, false, false},
      {"origin with slash", "https://daw.krevlo.example/", "", "0123456789abcdef", false, false, false},
      {"short nonce", "https://daw.krevlo.example", "", "0123456789abcde", false, false, false},
      {"upper-case mac", "https://daw.krevlo.example", "", "0123456789abcdef", true, false, false},
      {"unknown id", "https://daw.krevlo.example", "0000000000000000", "0123456789abcdef", false, false, false},
      {"other session", "https://daw.krevlo.example", "", "0123456789abcdef", false, true, false},
  };
  int32_t next = 10;
  for (const auto& k : cases) {
    Json hello;
    auto c = connect(next++, k.origin, &hello);
    std::string sessionNonce = k.wrongSessionNonce ? std::string(32, '0') : hello.value("nonce", "");
    std::string m = mac(token, "client|" + sessionNonce + "|" + k.clientNonce);
    if (k.upperMac)
      for (char& ch : m) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    auto replies = say(c, Json{{"t", "auth"}, {"id", k.id.empty() ? id : k.id}, {"nonce", k.clientNonce}, {"mac", m}});
    if (k.ok) {
      std::string reply = mac(token, "bridge|" + k.clientNonce + "|" + hello.value("nonce", ""));
      EXPECT_EQ(replies, (std::vector<std::string>{Json{{"t", "ready"}, {"mac", reply}}.dump(),
                                                   R"({"canAdd":false,"list":[],"t":"places"})"}))
          << k.name;
      // Ready for good: a later failed "auth" does not undo it.
      say(c, Json{{"t", "auth"}, {"id", "nobody"}, {"nonce", k.clientNonce}, {"mac", m}});
      EXPECT_EQ(say(c, std::string(R"({"t":"plugins"})")).size(), 1u);
      EXPECT_NE(say(c, std::string(R"({"t":"plugins"})"))[0].find("\"plugins\""), std::string::npos) << k.name;
    } else {
      EXPECT_EQ(replies, std::vector<std::string>{unpaired}) << k.name;
      EXPECT_EQ(say(c, std::string(R"({"t":"plugins"})")),
                std::vector<std::string>{R"({"code":"unauthenticated","for":"plugins","t":"error"})"})
          << k.name;
    }
  }
}

// Tokens only an edited pairings.json can hold: none of them authenticates.
TEST_F(BridgeAuth, MalformedStoredTokensNeverAuthenticate) {
  for (std::string bad : {std::string(), std::string("ab"), std::string(62, 'a'), std::string(66, 'a'),
                          std::string(62, 'a') + "1z", std::string(63, 'a') + "z"}) {
    bridge = nullptr;
    writeFile(dataDir() / "pairings.json",
              Json::array({Json{{"id", "ab"}, {"token", bad}, {"origin", "https://daw.krevlo.example"}}}).dump(), true);
    make("123456");
    Json hello;
    auto c = connect(1, "https://daw.krevlo.example", &hello);
    std::string clientNonce(16, 'n');
    // A mac made with the empty key the token decodes to, or with what is hex of it.
    std::vector<uint8_t> key;
    decodeHex(bad.substr(0, bad.size() / 2 * 2), key);
    std::string m = hmacSha256Hex(key, "client|" + hello.value("nonce", "") + "|" + clientNonce);
    auto replies = say(c, Json{{"t", "auth"}, {"id", "ab"}, {"nonce", clientNonce}, {"mac", m}});
    EXPECT_EQ(replies, std::vector<std::string>{R"({"code":"bad-request","for":"auth","t":"error"})"}) << bad;
    EXPECT_EQ(say(c, std::string(R"({"t":"plugins"})")),
              std::vector<std::string>{R"({"code":"unauthenticated","for":"plugins","t":"error"})"});
  }
}

TEST_F(BridgeAuth, ForgetClosesEveryConnectionAndFailsOldIds) {
  auto ready = connect(2);
  Json hello;
  auto fresh = connect(3, "https://daw.krevlo.example", &hello);
  bridge->forgetPairings();
  EXPECT_TRUE(ready->closed);
  EXPECT_TRUE(fresh->closed);
  EXPECT_EQ(readFile(dataDir() / "pairings.json"), "[]");
  EXPECT_EQ(bridge->status().pairings, 0);
  std::string nonce(16, 'n');
  auto replies = say(fresh, Json{{"t", "auth"},
                                 {"id", id},
                                 {"nonce", nonce},
                                 {"mac", mac(token, "client|" + hello.value("nonce", "") + "|" + nonce)}});
  EXPECT_EQ(replies, std::vector<std::string>{unpaired});
}

// A browser name cut in the middle of a character once made every later save
// throw; the cut now lands on a character boundary.
TEST_F(BridgePairing, NameCutKeepsUtf8Whole) {
  make("123456");
  struct Case {
    std::string name;
    std::string kept;
  } cases[] = {
      {std::string(59, 'a') + "\xC3\xA9", std::string(59, 'a')},
      {std::string(58, 'a') + "\xE2\x82\xAC", std::string(58, 'a')},
      {std::string(56, 'a') + "\xF0\x9F\x98\x80", std::string(56, 'a') + "\xF0\x9F\x98\x80"},
      {std::string(30, 'a') + "\xC3\xA9" + std::string(40, 'b'),
       std::string(30, 'a') + "\xC3\xA9" + std::string(28, 'b')},
  };
  int32_t next = 1;
  for (const auto& k : cases) {
    auto c = connect(next++);
    ASSERT_EQ(say(c, Json{{"t", "pair"}, {"code", "123456"}, {"name", k.name}}).size(), 3u);
    EXPECT_EQ(probe().pairings().back().name, k.kept);
  }
  // Later saves still work, and the file holds every name whole.
  bridge->setFormatShown("VST3", false);
  EXPECT_NE(readFile(dataDir() / "settings.json").find("VST3"), std::string::npos);
  Json file = Json::parse(readFile(dataDir() / "pairings.json"));
  ASSERT_EQ(file.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(file[i]["name"], cases[i].kept);
}

}  // namespace
}  // namespace bridge::test
