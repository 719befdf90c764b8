// The envelope, the field readers and the dispatch order of requests.
#include "bridge/protocol.h"

#include <gtest/gtest.h>

#include "bridge_fixture.h"
#include "support/fake_plugin.h"

namespace bridge::test {
namespace {

TEST(BridgeFieldReaders, CutsStringsAtCharacterBoundaries) {
  struct Case {
    std::string text;
    size_t max;
    std::string expected;
  } cases[] = {
      {"abc", 2, "ab"},
      {"abc", 3, "abc"},
      {"abc", 10, "abc"},
      {"\xC3\xA9", 1, ""},  // é cut in its middle
      {"a\xC3\xA9", 2, "a"},
      {"a\xC3\xA9", 3, "a\xC3\xA9"},
      {"\xE2\x82\xAC", 2, ""},  // € (three bytes)
      {"x\xE2\x82\xAC", 3, "x"},
      {"\xF0\x9F\x98\x80", 3, ""},  // an emoji (four bytes)
      {"\xF0\x9F\x98\x80z", 4, "\xF0\x9F\x98\x80"},
      {"", 0, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(cutUtf8(c.text, c.max), c.expected) << c.text << " / " << c.max;
}

TEST(BridgeFieldReaders, WrongTypesReadAsMissing) {
  Json r = Json::parse(R"({"s":"text","n":5,"u":18446744073709551615,"f":1.5,"b":true,"bs":"true","ns":"5",
                           "z":null,"a":[1],"bf":false})");
  EXPECT_EQ(readString(r, "s", 100), "text");
  EXPECT_EQ(readString(r, "s", 2), "te");
  EXPECT_EQ(readString(r, "n", 100), "");
  EXPECT_EQ(readString(r, "missing", 100), "");
  EXPECT_EQ(readString(Json::array({"s"}), "s", 100), "");
  EXPECT_EQ(readNumber(r, "n", -1), 5.0);
  EXPECT_EQ(readNumber(r, "u", -1), 18446744073709551615.0);
  EXPECT_EQ(readNumber(r, "f", -1), 1.5);
  EXPECT_EQ(readNumber(r, "ns", -1), -1.0);
  EXPECT_EQ(readNumber(r, "b", -1), -1.0);
  EXPECT_EQ(readNumber(r, "z", -1), -1.0);
  EXPECT_TRUE(readBool(r, "b"));
  EXPECT_FALSE(readBool(r, "bf"));
  EXPECT_FALSE(readBool(r, "bs"));
  EXPECT_FALSE(readBool(r, "n"));
  EXPECT_FALSE(readBool(r, "missing"));
  EXPECT_EQ(paramIndex({"a", "b", "b"}, "b"), 1);
  EXPECT_EQ(paramIndex({"a", ""}, ""), -1);
  EXPECT_EQ(paramIndex({"a"}, "c"), -1);
}

TEST(BridgeFieldReaders, RandomHexIsLowerCaseOfTheRightLength) {
  for (size_t n : {6u, 8u, 16u, 32u}) {
    std::string h = randomHex(n);
    EXPECT_EQ(h.size(), 2 * n);
    EXPECT_EQ(h.find_first_not_of("0123456789abcdef"), std::string::npos) << h;
  }
  EXPECT_NE(randomHex(16), randomHex(16));
}

TEST(BridgeFieldReaders, SerialisesCompactSortedWithFloatsKept) {
  Json m{{"t", "x"}, {"b", 5.0}, {"a", "Zo\xC3\xAB"}, {"c", "bad\xFF"}};
  EXPECT_EQ(serialise(m), "{\"a\":\"Zo\xC3\xAB\",\"b\":5.0,\"c\":\"bad\xEF\xBF\xBD\",\"t\":\"x\"}");
}

class BridgeProtocol : public BridgeTest {};

TEST_F(BridgeProtocol, HelloNamesTheFormatsAndANonce) {
  make();
  bridge->addHost(std::make_unique<FakeHost>("AU"));
  bridge->addHost(std::make_unique<FakeHost>("VST3"));
  bridge->addHost(std::make_unique<FakeHost>("CLAP"));
  Json hello;
  auto c = connect(7, "https://daw.krevlo.example", &hello);
  std::string nonce = hello.value("nonce", "");
  EXPECT_EQ(nonce.size(), 32u);
  EXPECT_EQ(nonce.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(hello.dump(), "{\"app\":\"Krevlo Bridge\",\"formats\":[\"AU\",\"VST3\",\"CLAP\"],\"nonce\":\"" + nonce +
                              "\",\"t\":\"hello\",\"tls\":false,\"v\":1,\"version\":\"0.1.128\"}");
  Json other;
  connect(8, "https://daw.krevlo.example", &other);
  EXPECT_NE(other["nonce"], hello["nonce"]);
}

TEST_F(BridgeProtocol, EnvelopeFailures) {
  make();
  auto c = connect(1);
  struct Case {
    std::string text;
    std::vector<std::string> replies;
  } cases[] = {
      {"[", {R"({"code":"bad-json","t":"error"})"}},
      {"", {R"({"code":"bad-json","t":"error"})"}},
      {"{\"t\":\"ping\"", {R"({"code":"bad-json","t":"error"})"}},
      {"[1,2]", {}},
      {"5", {}},
      {"\"ping\"", {}},
      {"null", {}},
      {R"({"t":"ping","at":5})", {R"({"at":5.0,"t":"pong"})"}},
      {R"({"t":"ping","at":-1.25})", {R"({"at":-1.25,"t":"pong"})"}},
      {R"({"t":"ping","at":"5"})", {R"({"at":0.0,"t":"pong"})"}},
      {R"({"t":"ping"})", {R"({"at":0.0,"t":"pong"})"}},
      {R"({"t":"plugins"})", {R"({"code":"unauthenticated","for":"plugins","t":"error"})"}},
      {R"({})", {R"({"code":"unauthenticated","for":"","t":"error"})"}},
      {R"({"t":5})", {R"({"code":"unauthenticated","for":"","t":"error"})"}},
  };
  for (const auto& k : cases) EXPECT_EQ(say(c, k.text), k.replies) << k.text;

  // A long "t" is cut before it is compared, and echoed cut.
  std::string longT = "ping" + std::string(300, 'x');
  EXPECT_EQ(say(c, Json{{"t", longT}}), std::vector<std::string>{"{\"code\":\"unauthenticated\",\"for\":\"" +
                                                                 longT.substr(0, 200) + "\",\"t\":\"error\"}"});
  // ... and never inside a character.
  std::string wide = std::string(199, 'a') + "\xC3\xA9";
  EXPECT_EQ(say(c, Json{{"t", wide}}), std::vector<std::string>{"{\"code\":\"unauthenticated\",\"for\":\"" +
                                                                std::string(199, 'a') + "\",\"t\":\"error\"}"});
}

enum class TrackState { none, stored, chained };

struct DispatchCase {
  bool ready;
  std::string request;
  TrackState track;
  std::vector<std::string> replies;
};

void PrintTo(const DispatchCase& c, std::ostream* os) {
  *os << (c.ready ? "ready " : "not ready ") << c.request << " track " << static_cast<int>(c.track);
}

const char* const kMissingTrack = R"({"code":"bad-request","for":"%s","message":"missing track","t":"error"})";

std::string fill(const char* pattern, const std::string& t) {
  std::string s = pattern;
  s.replace(s.find("%s"), 2, t);
  return s;
}

class BridgeDispatch : public BridgeTest, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(BridgeDispatch, RepliesExactly) {
  const DispatchCase& k = GetParam();
  make("123456");
  auto c = connect(1);
  if (k.ready) pair(c, "123456");
  if (k.track == TrackState::stored) probe().addTrack(1, "a", nullptr);
  if (k.track == TrackState::chained) {
    auto chain = probe().makeChain(1, [](std::vector<uint8_t>) {});
    auto slot = std::make_shared<Slot>();
    slot->key = "k";
    slot->pluginId = "CLAP:x";
    slot->plugin = std::make_shared<FakePlugin>();
    chain->setSlots({slot});
    probe().addTrack(1, "a", chain);
  }
  EXPECT_EQ(say(c, k.request), k.replies);
}

std::string unauth(const std::string& t) { return R"({"code":"unauthenticated","for":")" + t + R"(","t":"error"})"; }
std::string err(const std::string& code, const std::string& t) {
  return R"({"code":")" + code + R"(","for":")" + t + R"(","t":"error"})";
}

std::vector<DispatchCase> dispatchCases() {
  using TS = TrackState;
  std::vector<DispatchCase> cases;
  // Before pairing only pair, auth and ping are served, whatever the track.
  for (TS ts : {TS::none, TS::stored, TS::chained}) {
    cases.push_back({false, R"({"t":"ping","at":2})", ts, {R"({"at":2.0,"t":"pong"})"}});
    for (const char* t : {"plugins", "scan", "places", "chain", "unchain", "meter", "params", "set", "state", "editor",
                          "nonsense", "midiOn"})
      cases.push_back(
          {false, Json{{"t", t}, {"track", "a"}, {"key", "k"}, {"slots", Json::array()}}.dump(), ts, {unauth(t)}});
    cases.push_back({true, R"({"t":"ping","at":2})", ts, {R"({"at":2.0,"t":"pong"})"}});
    cases.push_back({true, R"({"t":"plugins","track":"a"})", ts, {R"({"list":[],"scanning":false,"t":"plugins"})"}});
    cases.push_back({true, R"({"t":"scan","track":"a"})", ts, {R"({"list":[],"scanning":false,"t":"plugins"})"}});
    cases.push_back({true, R"({"t":"places","track":"a"})", ts, {R"({"canAdd":false,"list":[],"t":"places"})"}});
    // No track: every other request stops at the track check.
    for (const char* t : {"chain", "unchain", "meter", "params", "set", "state", "editor", "nonsense", ""})
      cases.push_back({true, Json{{"t", t}, {"key", "k"}}.dump(), ts, {fill(kMissingTrack, t)}});
    cases.push_back({true, R"({"t":"params","track":""})", ts, {fill(kMissingTrack, "params")}});
    // "meter" and "unchain" never answer.
    cases.push_back({true, R"({"t":"meter","track":"a","key":"k","on":true})", ts, {}});
    cases.push_back({true, R"({"t":"meter","track":"b"})", ts, {}});
    cases.push_back({true, R"({"t":"unchain","track":"b"})", ts, {}});
  }
  // With a track: no chain, then no slot, then the type.
  for (const char* t : {"params", "set", "state", "editor", "nonsense"}) {
    std::string withKey = Json{{"t", t}, {"track", "a"}, {"key", "k"}}.dump();
    std::string otherKey = Json{{"t", t}, {"track", "a"}, {"key", "q"}}.dump();
    std::string noKey = Json{{"t", t}, {"track", "a"}}.dump();
    for (TS ts : {TS::none, TS::stored}) cases.push_back({true, withKey, ts, {err("no-chain", t)}});
    cases.push_back({true, otherKey, TS::chained, {err("no-slot", t)}});
    cases.push_back({true, noKey, TS::chained, {err("no-slot", t)}});
  }
  cases.push_back({true, R"({"t":"nonsense","track":"a","key":"k"})", TS::chained, {err("unknown", "nonsense")}});
  cases.push_back(
      {true, R"({"t":"midiNonsense","track":"a","key":"k"})", TS::chained, {err("unknown", "midiNonsense")}});
  cases.push_back({true, R"({"t":"nonsense","track":"b","key":"k"})", TS::chained, {err("no-chain", "nonsense")}});
  // "chain" checks its rate and its slots before anything is stored.
  for (const char* request :
       {R"({"t":"chain","track":"a","rate":7999,"slots":[]})", R"({"t":"chain","track":"a","rate":384001,"slots":[]})",
        R"({"t":"chain","track":"a","rate":-48000,"slots":[]})", R"({"t":"chain","track":"a"})",
        R"({"t":"chain","track":"a","slots":{}})", R"({"t":"chain","track":"a","slots":"[]"})"})
    cases.push_back({true, request, TS::none, {err("bad-request", "chain")}});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Table, BridgeDispatch, ::testing::ValuesIn(dispatchCases()));

TEST_F(BridgeProtocol, ChainStoresTheTrackAtBothRateBounds) {
  make("123456");
  auto c = connect(1);
  pair(c, "123456");
  for (const char* request : {R"({"t":"chain","track":"lo","rate":8000,"slots":[]})",
                              R"({"t":"chain","track":"hi","rate":384000,"slots":[]})",
                              R"({"t":"chain","track":"def","rate":"fast","slots":[]})"})
    say(c, std::string(request));
  EXPECT_TRUE(probe().hasTrack(1, "lo"));
  EXPECT_TRUE(probe().hasTrack(1, "hi"));
  EXPECT_TRUE(probe().hasTrack(1, "def"));
  say(c, std::string(R"({"t":"chain","track":"bad","rate":7999,"slots":[]})"));
  EXPECT_FALSE(probe().hasTrack(1, "bad"));
}

TEST_F(BridgeProtocol, UnchainDropsTheTrackAndItsRoute) {
  make("123456");
  auto c = connect(1);
  pair(c, "123456");
  probe().addTrack(1, "a", probe().makeChain(1, [](std::vector<uint8_t>) {}));
  probe().addTrack(1, "b", probe().makeChain(2, [](std::vector<uint8_t>) {}));
  EXPECT_EQ(probe().routeCount(1), 2u);
  int before = changes;
  EXPECT_TRUE(say(c, std::string(R"({"t":"unchain","track":"a"})")).empty());
  EXPECT_FALSE(probe().hasTrack(1, "a"));
  EXPECT_TRUE(probe().hasTrack(1, "b"));
  EXPECT_EQ(probe().routeCount(1), 1u);
  EXPECT_GT(changes, before);
}

TEST_F(BridgeProtocol, CloseDropsSessionAndRoutes) {
  make("123456");
  auto c = connect(1);
  auto other = connect(2);
  pair(c, "123456");
  probe().addTrack(1, "a", probe().makeChain(1, [](std::vector<uint8_t>) {}));
  probe().close(c);
  queue.drain();
  EXPECT_EQ(probe().routeCount(1), 0u);
  EXPECT_EQ(probe().sessionCount(), 1u);
  // Text from a connection without a session is ignored; so is a second close.
  EXPECT_TRUE(say(c, std::string(R"({"t":"ping"})")).empty());
  probe().close(c);
  EXPECT_EQ(say(other, std::string(R"({"t":"ping"})")).size(), 1u);
}

TEST_F(BridgeProtocol, ReopenedIdReplacesTheSession) {
  make("123456");
  auto first = connect(1);
  pair(first, "123456");
  auto second = connect(1);
  EXPECT_EQ(probe().sessionCount(), 1u);
  EXPECT_EQ(say(second, std::string(R"({"t":"plugins"})")), std::vector<std::string>{unauth("plugins")});
}

}  // namespace
}  // namespace bridge::test
