// The Audio Unit host: its listing, the forms of ids it takes, the two
// attempts of creation and every failure of preparation.
#include <gtest/gtest.h>

#include "au_fixture.h"

namespace bridge::test {
namespace {

using AuHostTest = AuFixture;

TEST_F(AuHostTest, ListsEffectsThenMusicEffectsInRegistryOrder) {
  const std::string zero = add(au::fourCc("ab d") & 0xFFFF00FFu);  // 'a' 'b' 0 'd'
  const std::string plain = add("tag2", doublingSpec(), [](au::Component& c) {
    c.name = "Tagged";
    c.manufacturerName = "Tester";
    c.versionString = "2.1";
    c.allTagNames = {"One", "Two", "Three"};
  });
  EXPECT_EQ(host->format(), "AU");
  EXPECT_TRUE(host->problems().empty());

  std::atomic<bool> cancel{true};  // not consulted
  const std::vector<PluginInfo> list = host->scan(cancel);
  ASSERT_GE(list.size(), 6u);
  auto at = [&](const std::string& id) -> const PluginInfo* {
    for (const PluginInfo& p : list)
      if (p.id == id) return &p;
    return nullptr;
  };
  EXPECT_EQ(list[0].id, "AU:aufx:gain:Krvl");
  EXPECT_EQ(list[0].name, "Krevlo Gain");
  EXPECT_EQ(list[0].vendor, "Krevlo");
  EXPECT_EQ(list[0].version, "1.0.0");
  EXPECT_EQ(list[0].category, "Effect");
  EXPECT_EQ(list[0].tags, "");
  EXPECT_EQ(list[2].id, "AU:aufx:comp:Krvl");
  EXPECT_EQ(list[2].tags, "Dynamics|Compressor");
  EXPECT_EQ(list.back().id, "AU:aumf:bgat:Krvl") << "music effects after every effect";
  EXPECT_EQ(list.back().category, "Music Effect");
  for (const PluginInfo& p : list) {
    EXPECT_EQ(p.id.size(), 17u) << p.id;
    EXPECT_EQ(p.format, "AU");
  }

  EXPECT_EQ(zero, "AU:aufx:ab d:Ktst") << "a zero byte is listed as a space";
  const PluginInfo* z = at(zero);
  ASSERT_TRUE(z);
  EXPECT_EQ(z->name + z->vendor + z->version + z->tags, "") << "absent texts are empty";
  const PluginInfo* t = at(plain);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->tags, "One|Two|Three");
  EXPECT_EQ(t->version, "2.1");
  EXPECT_LT(z, t) << "registration order";
}

TEST_F(AuHostTest, MalformedIdsAreAnsweredAtOnce) {
  const char* ids[] = {
      "AU:aufx:abcd:Wxy",     // 16 characters
      "AU:aufx:abcd:Wxyza",   // 18
      "AX:aufx:abcd:Wxyz",    // prefix
      "au:aufx:abcd:Wxyz",    // prefix, case
      "AU-aufx:abcd:Wxyz",    // colon at 2
      "AU:aufx-abcd:Wxyz",    // colon at 7
      "AU:aufx:abcd-Wxyz",    // colon at 12
      "VST3:0123456789ABCDE", // another format
      "",
  };
  for (const char* id : ids) {
    Created c = create(id);
    EXPECT_EQ(c.calls, 1) << id;
    EXPECT_TRUE(c.onCallingThread) << id;
    EXPECT_FALSE(c.plugin) << id;
    EXPECT_EQ(c.error, "not an Audio Unit id") << id;
  }
}

TEST_F(AuHostTest, CreatesFromTheIdItListed) {
  const std::string zero = add(au::fourCc("ab d") & 0xFFFF00FFu);  // 'a' 'b' 0 'd'
  const std::string space = add("xy z");
  const std::string both = add(au::fourCc("mn o") & 0xFFFF00FFu);  // listed like the one below
  add("mn o");
  for (const std::string& id : {zero, space, both, std::string("AU:aufx:gain:Krvl")}) {
    Created c = create(id);
    EXPECT_TRUE(c.plugin) << id << ": " << c.error;
  }
  Created missing = create("AU:aufx:none:Ktst");
  EXPECT_FALSE(missing.plugin);
  EXPECT_EQ(missing.error, "The component was not found.") << "the layer's own description";
}

TEST_F(AuHostTest, OutOfProcessFirstThenOnceInProcess) {
  constexpr uint32_t Out = au::kInstantiateOutOfProcess, In = au::kInstantiateInProcess;
  struct Case {
    const char* what;
    uint32_t subtype;
    bool refuseOutOfProcess, failLoads;
    std::optional<std::string> loadError;
    bool failInitialize;
    std::vector<uint32_t> attempts;
    bool plugin;
    std::string error;
  } cases[] = {
      {"loads out of process", au::fourCc("att1"), false, false, std::nullopt, false, {Out}, true, ""},
      {"only in process; the first error is not shown", au::fourCc("att2"), true, false,
       std::string("Not out of process."), false, {Out, In}, true, ""},
      {"fails both with an error", au::fourCc("att3"), false, true, std::string("The unit is broken."), false,
       {Out, In}, false, "The unit is broken."},
      {"fails both without one", au::fourCc("att4"), false, true, std::nullopt, false, {Out, In}, false,
       "could not load"},
      {"prepares in neither", au::fourCc("att5"), false, false, std::nullopt, true, {Out, In}, false,
       "could not start the Audio Unit (-10875)"},
  };
  for (const Case& c : cases) {
    auto attempts = std::make_shared<std::vector<uint32_t>>();
    au::UnitSpec spec = doublingSpec();
    spec.switches.failInitialize = c.failInitialize;
    const std::string id = add(c.subtype, spec, [&](au::Component& k) {
      k.refuseOutOfProcess = c.refuseOutOfProcess;
      k.failLoads = c.failLoads;
      k.loadError = c.loadError;
      k.onInstantiate = [attempts](uint32_t options) { attempts->push_back(options); };
    });
    Created got = create(id);
    EXPECT_EQ(got.calls, 1) << c.what;
    EXPECT_TRUE(got.onCompletionThread && !got.onCallingThread) << c.what;
    EXPECT_EQ(*attempts, c.attempts) << c.what;
    EXPECT_EQ(got.plugin != nullptr, c.plugin) << c.what;
    EXPECT_EQ(got.error, c.error) << c.what;
  }
}

TEST_F(AuHostTest, EveryPreparationFailureHasItsText) {
  struct Case {
    const char* what;
    std::function<void(au::UnitSpec&)> change;
    double rate;
    std::string error;
  } cases[] = {
      {"no handle", [](au::UnitSpec& s) { s.switches.noHandle = true; }, 48000, "no Audio Unit instance"},
      {"no input bus", [](au::UnitSpec& s) { s.inputBuses = 0; }, 48000, "not an effect with an audio input"},
      {"no output bus", [](au::UnitSpec& s) { s.outputBuses = 0; }, 48000, "not an effect with an audio input"},
      {"refuses stereo", [](au::UnitSpec& s) { s.switches.refuseStereo = true; }, 48000,
       "this Audio Unit does not take stereo audio"},
      {"no format at rate 0", [](au::UnitSpec&) {}, 0.0, "this Audio Unit does not take stereo audio"},
      {"refuses the render callback", [](au::UnitSpec& s) { s.switches.refuseRenderCallback = true; }, 48000,
       "could not connect the Audio Unit's input (-10879)"},
      {"fails to initialise", [](au::UnitSpec& s) { s.switches.failInitialize = true; }, 48000,
       "could not start the Audio Unit (-10875)"},
  };
  uint32_t subtype = au::fourCc("fl00");
  for (const Case& c : cases) {
    au::UnitSpec spec = doublingSpec();
    c.change(spec);
    Created got = create(add(subtype++, spec), c.rate);
    EXPECT_EQ(got.calls, 1) << c.what;
    EXPECT_FALSE(got.plugin) << c.what;
    EXPECT_EQ(got.error, c.error) << c.what;
  }
}

}  // namespace
}  // namespace bridge::test
