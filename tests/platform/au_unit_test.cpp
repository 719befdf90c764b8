// Our Audio Unit layer on its own: the registry, instantiation on the
// completion thread, properties and rendering with the pull callback, the
// parameter tree and its observers, latency observation, full state and views.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/audiounit/au_component.h"

namespace bridge::au {
namespace {

constexpr uint32_t kTest = fourCc("Tlay");

ComponentDescription described(const char (&subtype)[5]) { return {kTypeEffect, fourCc(subtype), kTest, 0, 0}; }

// Registers components for one test and removes them after it.
class LayerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& d : added_) Registry::shared().remove(d);
  }
  void add(Component c) {
    added_.push_back(c.description);
    Registry::shared().add(std::move(c));
  }

  struct Outcome {
    std::shared_ptr<Unit> unit;
    std::optional<Error> error;
    std::thread::id thread;
  };
  static Outcome make(const ComponentDescription& d, uint32_t options) {
    std::promise<Outcome> p;
    instantiate(d, options, [&](std::shared_ptr<Unit> unit, std::optional<Error> error) {
      p.set_value({std::move(unit), std::move(error), std::this_thread::get_id()});
    });
    return p.get_future().get();
  }

  std::vector<ComponentDescription> added_;
};

TEST_F(LayerTest, RegistryListsByTypeInRegistrationOrderWithAbsentTexts) {
  Component bare;
  bare.description = described("bar1");
  Component named = bare;
  named.description = described("bar2");
  named.name = "Named";
  named.allTagNames = {"A", "B"};
  add(bare);
  add(named);

  const auto effects = Registry::shared().componentsMatching(ComponentDescription{kTypeEffect});
  ASSERT_GE(effects.size(), 5u);
  EXPECT_EQ(effects[0].name, "Krevlo Gain") << "the built-in effects come first";
  EXPECT_EQ(effects[1].name, "Krevlo Delay");
  EXPECT_EQ(effects[2].name, "Krevlo Compressor");
  const Component& last = effects.back();
  const Component& before = effects[effects.size() - 2];
  EXPECT_EQ(before.description.subtype, fourCc("bar1"));
  EXPECT_FALSE(before.name || before.manufacturerName || before.versionString);
  EXPECT_EQ(last.name, "Named");
  EXPECT_EQ(last.allTagNames, (std::vector<std::string>{"A", "B"}));

  const auto music = Registry::shared().componentsMatching(ComponentDescription{kTypeMusicEffect});
  ASSERT_EQ(music.size(), 1u);
  EXPECT_EQ(music[0].name, "Krevlo Beat Gate");
  EXPECT_EQ(Registry::shared().componentsMatching(described("bar2")).size(), 1u);
}

TEST_F(LayerTest, InstantiationAnswersOnceOnTheCompletionThread) {
  Component picky;
  picky.description = described("pick");
  picky.refuseOutOfProcess = true;
  picky.loadError = "Out of process is refused.";
  add(picky);
  Component broken;
  broken.description = described("brok");
  broken.failLoads = true;
  add(broken);

  struct Case {
    const char* what;
    ComponentDescription description;
    uint32_t options;
    bool unit;
    std::optional<std::string> error;
  } cases[] = {
      {"out of process refused", described("pick"), kInstantiateOutOfProcess, false, "Out of process is refused."},
      {"in process", described("pick"), kInstantiateInProcess, true, std::nullopt},
      {"fails without an error", described("brok"), kInstantiateInProcess, false, std::nullopt},
      {"unknown component", described("none"), kInstantiateInProcess, false, "The component was not found."},
      {"a zero code names itself, not any", {kTypeEffect, 0, kTest, 0, 0}, kInstantiateInProcess, false,
       "The component was not found."},
      {"built-in", {kTypeEffect, fourCc("gain"), fourCc("Krvl")}, kInstantiateOutOfProcess, true, std::nullopt},
  };
  for (const Case& c : cases) {
    const Outcome o = make(c.description, c.options);
    EXPECT_EQ(o.unit != nullptr, c.unit) << c.what;
    EXPECT_EQ(o.error.has_value(), c.error.has_value()) << c.what;
    if (o.error && c.error) {
      EXPECT_EQ(o.error->localizedDescription, *c.error) << c.what;
    }
    EXPECT_NE(o.thread, std::this_thread::get_id()) << c.what;
  }
}

UnitSpec twoParams() {
  UnitSpec s;
  ParameterSpec a;
  a.address = 7;
  a.displayName = "A";
  a.minValue = -1.0f;
  a.maxValue = 1.0f;
  ParameterSpec b;
  b.address = 0x200000000ull;
  b.displayName = "B";
  b.global = false;
  s.parameters = {a, b};
  return s;
}

TEST(Unit, PropertiesInitialiseAndRenderThroughThePullCallback) {
  UnitSpec spec = twoParams();
  Unit unit(described("rend"), "Render", spec);
  const auto stereo = standardFormat(48000.0, 2);
  ASSERT_TRUE(stereo);
  EXPECT_EQ(standardFormat(0.0, 2), std::nullopt);
  EXPECT_EQ(standardFormat(48000.0, 0), std::nullopt);
  StreamDescription mono = *standardFormat(48000.0, 1);
  EXPECT_EQ(unit.setStreamFormat(Scope::Input, 0, mono), kErrFormatNotSupported);
  EXPECT_EQ(unit.setStreamFormat(Scope::Input, 1, *stereo), kErrInvalidElement);
  EXPECT_EQ(unit.setStreamFormat(Scope::Input, 0, *stereo), kNoErr);
  EXPECT_EQ(unit.setStreamFormat(Scope::Output, 0, *stereo), kNoErr);
  EXPECT_EQ(unit.setMaximumFramesPerSlice(8), kNoErr);

  struct Feed {
    float left[8], right[8];
    int calls = 0;
  } feed{};
  for (int i = 0; i < 8; ++i) feed.left[i] = float(i), feed.right[i] = float(-i);
  RenderProc pull = [](void* ref, ActionFlags*, const TimeStamp*, uint32_t bus, uint32_t frames,
                       AudioBufferList* data) -> Status {
    auto* f = static_cast<Feed*>(ref);
    ++f->calls;
    if (bus != 0 || data->numberBuffers != 2 || data->buffers[0].data) return kErrInvalidElement;
    data->buffers[0].data = f->left;
    data->buffers[1].data = f->right;
    data->buffers[0].dataByteSize = data->buffers[1].dataByteSize = frames * 4;
    return kNoErr;
  };
  EXPECT_EQ(unit.setRenderCallback(Scope::Input, 0, {pull, &feed}), kNoErr);

  float outL[8] = {}, outR[8] = {};
  AudioBufferList out;
  out.numberBuffers = 2;
  out.buffers[0] = {1, 32, outL};
  out.buffers[1] = {1, 32, outR};
  EXPECT_EQ(unit.render(nullptr, TimeStamp{}, 0, 8, &out), kErrUninitialized);
  ASSERT_EQ(unit.initialize(), kNoErr);
  EXPECT_EQ(unit.setStreamFormat(Scope::Input, 0, *stereo), kErrCannotDoInCurrentContext);
  EXPECT_EQ(unit.render(nullptr, TimeStamp{}, 0, 9, &out), kErrTooManyFrames);
  EXPECT_EQ(unit.render(nullptr, TimeStamp{}, 1, 8, &out), kErrInvalidElement);
  ASSERT_EQ(unit.render(nullptr, TimeStamp{}, 0, 8, &out), kNoErr);
  EXPECT_EQ(feed.calls, 1);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(outL[i], float(i));
    EXPECT_EQ(outR[i], float(-i));
  }
  EXPECT_EQ(unit.uninitialize(), kNoErr);
  EXPECT_FALSE(unit.initialized());
}

TEST(Unit, ParametersObserversAndListenerNotification) {
  Unit unit(described("prms"), "Params", twoParams());
  std::vector<uint32_t> ids;
  ASSERT_EQ(unit.getParameterList(Scope::Global, ids), kNoErr);
  EXPECT_EQ(ids, (std::vector<uint32_t>{7})) << "only the global one";
  ParameterInfo info;
  EXPECT_EQ(unit.getParameterInfo(Scope::Global, 7, info), kNoErr);
  EXPECT_EQ(info.name, "A");
  EXPECT_EQ(unit.getParameterInfo(Scope::Global, 0, info), kErrInvalidParameter);

  ParameterTree& tree = *unit.parameterTree();
  std::vector<std::pair<uint64_t, float>> seen, other;
  const ObserverToken t1 = tree.tokenByAddingParameterObserver([&](uint64_t a, float v) { seen.emplace_back(a, v); });
  const ObserverToken t2 = tree.tokenByAddingParameterObserver([&](uint64_t a, float v) { other.emplace_back(a, v); });
  EXPECT_NE(t1, t2);

  // The parameter call stores without telling; the notification tells.
  EXPECT_EQ(unit.setParameter(7, Scope::Global, 0, 0.5f, 0), kNoErr);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(unit.parameterListenerNotify(7, Scope::Global, 0), kNoErr);
  float v = 0.0f;
  EXPECT_EQ(unit.getParameter(7, Scope::Global, 0, v), kNoErr);
  EXPECT_EQ(v, 0.5f);
  EXPECT_EQ(unit.setParameter(7, Scope::Global, 0, 5.0f, 0), kNoErr);
  EXPECT_EQ(unit.getParameter(7, Scope::Global, 0, v), kNoErr);
  EXPECT_EQ(v, 1.0f) << "clamped to the range";
  EXPECT_EQ(unit.getParameter(0, Scope::Global, 0, v), kErrInvalidParameter) << "the 64-bit address is no id";

  tree.removeParameterObserver(t1);
  tree.allParameters()[1]->setValue(0.25f);
  const std::vector<std::pair<uint64_t, float>> once = {{7, 0.5f}};
  EXPECT_EQ(seen, once);
  EXPECT_EQ(other, (std::vector<std::pair<uint64_t, float>>{{7, 0.5f}, {0x200000000ull, 0.25f}}));
  tree.removeParameterObserver(t2);
}

TEST(Unit, LatencyObservationAndFullState) {
  Unit unit(described("stat"), "State", twoParams());
  struct Counter : KeyValueObserver {
    int calls = 0;
    void observeValue(const std::string& key, Unit&) override { calls += key == "latency"; }
  } counter;
  unit.addObserver(&counter, "latency");
  unit.setLatency(0.25);
  EXPECT_EQ(unit.latency(), 0.25);
  unit.removeObserver(&counter, "latency");
  unit.setLatency(0.5);
  EXPECT_EQ(counter.calls, 1);

  unit.parameterTree()->allParameters()[0]->setValue(-0.5f);
  unit.parameterTree()->allParameters()[1]->setValue(0.75f);
  const plist::Dictionary state = unit.fullState();
  EXPECT_EQ(state.at("type"), plist::Value(int64_t{kTypeEffect}));
  EXPECT_EQ(state.at("name"), plist::Value("State"));

  Unit fresh(described("stat"), "State", twoParams());
  fresh.setFullState(state);
  EXPECT_EQ(fresh.parameterTree()->allParameters()[0]->value(), -0.5f);
  EXPECT_EQ(fresh.parameterTree()->allParameters()[1]->value(), 0.75f);
  plist::Dictionary odd = state;
  odd["data"] = plist::Value(plist::Data{1, 2, 3});  // not whole records
  fresh.parameterTree()->allParameters()[0]->setValue(0.0f);
  fresh.setFullState(odd);
  EXPECT_EQ(fresh.parameterTree()->allParameters()[0]->value(), 0.0f);
}

TEST(Unit, ViewsFromControllerLegacyClassAndTree) {
  UnitSpec spec = twoParams();
  spec.viewFrame = Size{150, 80};
  spec.preferredSize = Size{640, 480};
  Unit withController(described("vw01"), "V", spec);
  std::promise<std::pair<std::shared_ptr<ViewController>, bool>> p;
  withController.requestViewController(
      [&](std::shared_ptr<ViewController> c) { p.set_value({std::move(c), onCompletionThread()}); });
  auto [controller, onThread] = p.get_future().get();
  ASSERT_TRUE(controller);
  EXPECT_TRUE(onThread);
  EXPECT_EQ(controller->view()->frameSize().width, 150);
  EXPECT_EQ(controller->preferredContentSize().height, 480);

  struct Legacy : CocoaUiBase {
    std::unique_ptr<View> uiViewForAudioUnit(Unit&, Size) override {
      return std::make_unique<View>("legacy", Size{500, 250});
    }
  };
  registerViewClass("/bundles/Test.bundle", "TestView", {true, [] { return std::make_unique<Legacy>(); }});
  auto found = loadViewClass("/bundles/Test.bundle", "TestView");
  ASSERT_TRUE(found && found->make);
  Unit plain(described("vw02"), "V", twoParams());
  EXPECT_EQ(found->make()->uiViewForAudioUnit(plain, {})->frameSize().width, 500);
  EXPECT_FALSE(loadViewClass("/bundles/Test.bundle", "Other"));
  EXPECT_FALSE(loadViewClass("/bundles/None.bundle", "TestView"));

  auto generic = makeGenericView(plain);
  EXPECT_EQ(generic->kind(), "generic");
  EXPECT_EQ(generic->frameSize().height, 32 + 2 * 28) << "a row per parameter";
  int parent = 0;
  EXPECT_TRUE(generic->attach(&parent));
  EXPECT_EQ(generic->parent(), &parent);
}

}  // namespace
}  // namespace bridge::au
