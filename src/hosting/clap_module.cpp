#include "hosting/clap_module.h"

#include <dlfcn.h>

namespace bridge {

std::atomic<std::thread::id> mainThread{};

std::shared_ptr<Module> loadModule(const std::string& path, std::string& error) {
  // A name without a slash would be searched for in the library path.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  // Never unloaded, also after a failure below: the file's constructors have run.
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    error = "could not load the plug-in";
    return nullptr;
  }
  auto entry = static_cast<const clap_plugin_entry_t*>(::dlsym(handle, "clap_entry"));
  if (!entry || entry->clap_version.major == 0 || !entry->init || !entry->get_factory) {
    error = "not a CLAP plug-in this bridge can use";
    return nullptr;
  }
  if (!entry->init(path.c_str())) {
    error = "not a CLAP plug-in this bridge can use";
    return nullptr;
  }
  auto factory = static_cast<const clap_plugin_factory_t*>(entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
  if (!factory) {
    error = "the plug-in has no plug-in factory";
    return nullptr;
  }
  auto module = std::make_shared<Module>();
  module->entry = entry;
  module->factory = factory;
  return module;
}

}  // namespace bridge
