#include "hosting/clap_probe.h"

#include <cstring>

#include "hosting/clap_module.h"

namespace bridge {

using nlohmann::json;

json clapScanFile(const std::string& path) {
  // Plug-ins that check their thread during the probe must see the main thread.
  mainThread.store(std::this_thread::get_id());
  std::string error;
  auto module = loadModule(path, error);
  if (!module) return json{{"plugins", json::array()}, {"error", error}};

  const clap_plugin_factory_t* f = module->factory;
  json plugins = json::array();
  const uint32_t count = f->get_plugin_count ? f->get_plugin_count(f) : 0;
  for (uint32_t i = 0; i < count && f->get_plugin_descriptor; ++i) {
    const clap_plugin_descriptor_t* d = f->get_plugin_descriptor(f, i);
    if (!d || !d->id || !d->features) continue;
    std::string features;
    bool effect = false;
    for (const char* const* feature = d->features; *feature; ++feature) {
      if (feature != d->features) features += '|';
      features += *feature;
      if (std::strcmp(*feature, CLAP_PLUGIN_FEATURE_AUDIO_EFFECT) == 0) effect = true;
    }
    if (!effect) continue;
    plugins.push_back(json{{"id", d->id},
                           {"name", d->name ? d->name : d->id},
                           {"vendor", d->vendor ? d->vendor : ""},
                           {"version", d->version ? d->version : ""},
                           {"features", features}});
  }
  return json{{"plugins", std::move(plugins)}, {"tags", true}};
}

}  // namespace bridge
