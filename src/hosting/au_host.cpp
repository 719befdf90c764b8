#include "hosting/au_host.h"

#include <utility>

#include "hosting/au_plugin.h"
#include "hosting/plugin_id.h"
#include "platform/audiounit/au_component.h"

namespace bridge {

namespace {

constexpr size_t kIdLength = 17;

struct ComponentType {
  uint32_t type;
  const char* category;
};
constexpr ComponentType kTypes[] = {{au::kTypeEffect, "Effect"}, {au::kTypeMusicEffect, "Music Effect"}};

uint32_t readCode(const std::string& id, size_t at) {
  uint32_t code = 0;
  for (size_t i = 0; i < 4; ++i) code = code << 8 | static_cast<uint8_t>(id[at + i]);
  return code;
}

// What travels with the layer's completion handler, through both attempts.
struct Creation {
  std::shared_ptr<CreateDone> done;  // shared by both attempts, run once
  double sampleRate = 0.0;
  int maxBlock = 0;
  au::ComponentDescription description;
  bool firstAttempt = true;
  RunOnMain runOnMain;
};

void finish(const std::shared_ptr<Creation>& c, std::unique_ptr<Plugin> plugin, std::string message) {
  CreateDone done = std::move(*c->done);
  *c->done = nullptr;
  if (done) done(std::move(plugin), std::move(message));
}

void attempt(std::shared_ptr<Creation> c);

// On the completion thread. A failed first attempt is never reported: only the
// in-process attempt's outcome reaches `done`.
void completed(const std::shared_ptr<Creation>& c, std::shared_ptr<au::Unit> unit,
               const std::optional<au::Error>& error) {
  if (unit) {
    auto plugin = std::make_unique<AuPlugin>(std::move(unit), c->maxBlock, c->sampleRate, c->runOnMain);
    std::string message = plugin->prepare();
    if (message.empty()) return finish(c, std::move(plugin), "");
    plugin.reset();
    if (!c->firstAttempt) return finish(c, nullptr, std::move(message));
  } else if (!c->firstAttempt) {
    return finish(c, nullptr, error ? error->localizedDescription : "could not load");
  }
  c->firstAttempt = false;
  attempt(c);
}

void attempt(std::shared_ptr<Creation> c) {
  const uint32_t options = c->firstAttempt ? au::kInstantiateOutOfProcess : au::kInstantiateInProcess;
  const au::ComponentDescription description = c->description;
  au::instantiate(description, options,
                  [c = std::move(c)](std::shared_ptr<au::Unit> unit, std::optional<au::Error> error) {
                    completed(c, std::move(unit), error);
                  });
}

class AuHost final : public Host {
 public:
  explicit AuHost(RunOnMain runOnMain) : runOnMain_(std::move(runOnMain)) {}

  std::string format() const override { return "AU"; }

  std::vector<PluginInfo> scan(const std::atomic<bool>&) override {
    std::vector<PluginInfo> list;
    for (const ComponentType& t : kTypes) {
      for (const au::Component& c : au::Registry::shared().componentsMatching(au::ComponentDescription{t.type})) {
        PluginInfo info;
        info.id = auPluginId(c.description.type, c.description.subtype, c.description.manufacturer);
        info.format = "AU";
        info.name = c.name.value_or("");
        info.vendor = c.manufacturerName.value_or("");
        info.version = c.versionString.value_or("");
        info.category = t.category;
        for (size_t i = 0; i < c.allTagNames.size(); ++i) info.tags += (i ? "|" : "") + c.allTagNames[i];
        list.push_back(std::move(info));
      }
    }
    return list;
  }

  std::vector<std::string> problems() const override { return {}; }

  void requestRescan() override {}

  void create(const std::string& id, int maxBlock, CreateDone done, double sampleRate) override {
    if (id.size() != kIdLength || id.compare(0, 2, "AU") != 0 || id[2] != ':' || id[7] != ':' || id[12] != ':')
      return done(nullptr, "not an Audio Unit id");
    au::ComponentDescription description{readCode(id, 3), readCode(id, 8), readCode(id, 13), 0, 0};
    // A zero byte is listed as a space, so a space may stand for either: the
    // component whose listed id this is wins.
    for (const au::Component& c : au::Registry::shared().componentsMatching(au::ComponentDescription{description.type}))
      if (auPluginId(c.description.type, c.description.subtype, c.description.manufacturer) == id) {
        description.subtype = c.description.subtype;
        description.manufacturer = c.description.manufacturer;
        break;
      }

    auto c = std::make_shared<Creation>();
    c->done = std::make_shared<CreateDone>(std::move(done));
    c->sampleRate = sampleRate;
    c->maxBlock = maxBlock;
    c->description = description;
    c->runOnMain = runOnMain_;
    attempt(std::move(c));
  }

 private:
  const RunOnMain runOnMain_;
};

}  // namespace

std::unique_ptr<Host> makeAuHost(std::function<void(std::function<void()>)> runOnMain) {
  return std::make_unique<AuHost>(std::move(runOnMain));
}

}  // namespace bridge
