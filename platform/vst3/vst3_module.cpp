#include "platform/vst3/vst3_module.h"

#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <iterator>
#include <system_error>

#include "platform/vst3/vst3_strings.h"

namespace VST3::Hosting {

namespace fs = std::filesystem;
using namespace Steinberg;

namespace {

#if defined(__x86_64__)
constexpr const char* kArchFolder = "x86_64-linux";
#elif defined(__aarch64__)
constexpr const char* kArchFolder = "aarch64-linux";
#elif defined(__i386__)
constexpr const char* kArchFolder = "i386-linux";
#else
#error "unknown architecture folder for VST3 bundles"
#endif

fs::path bundleRoot(const std::string& path) {
  fs::path p(path);
  if (!p.has_filename() && p.has_parent_path()) p = p.parent_path();  // "Foo.vst3/"
  return p;
}

std::string dlText(const char* fallback) {
  const char* e = ::dlerror();
  return e ? std::string(e) : std::string(fallback);
}

}  // namespace

std::string ClassInfo::subCategoriesString() const {
  std::string out;
  for (size_t i = 0; i < subCategories.size(); ++i) {
    if (i) out += '|';
    out += subCategories[i];
  }
  return out;
}

std::vector<std::string> splitSubCategories(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t bar = text.find('|', start);
    if (bar == std::string::npos) bar = text.size();
    if (bar > start) out.push_back(text.substr(start, bar - start));
    start = bar + 1;
  }
  return out;
}

FactoryInfo PluginFactory::info() const {
  FactoryInfo out;
  if (!factory_) return out;
  PFactoryInfo raw{};
  if (factory_->getFactoryInfo(&raw) != kResultOk) return out;
  out.vendor = fromFixed(raw.vendor, sizeof raw.vendor);
  out.url = fromFixed(raw.url, sizeof raw.url);
  out.email = fromFixed(raw.email, sizeof raw.email);
  out.flags = raw.flags;
  return out;
}

std::vector<ClassInfo> PluginFactory::classInfos() const {
  std::vector<ClassInfo> out;
  if (!factory_) return out;
  auto f3 = queryInterface<IPluginFactory3>(factory_.get());
  auto f2 = queryInterface<IPluginFactory2>(factory_.get());
  const int32 count = factory_->countClasses();
  for (int32 i = 0; i < count; ++i) {
    ClassInfo c;
    // A factory that fails one record may still give a plainer one.
    PClassInfoW rawW{};
    PClassInfo2 raw2{};
    PClassInfo raw1{};
    if (f3 && f3->getClassInfoUnicode(i, &rawW) == kResultOk) {
      const PClassInfoW& raw = rawW;
      std::memcpy(c.cid.bytes, raw.cid, 16);
      c.cardinality = raw.cardinality;
      c.category = fromFixed(raw.category, sizeof raw.category);
      c.name = toUtf8(raw.name, std::size(raw.name));
      c.classFlags = raw.classFlags;
      c.subCategories = splitSubCategories(fromFixed(raw.subCategories, sizeof raw.subCategories));
      c.vendor = toUtf8(raw.vendor, std::size(raw.vendor));
      c.version = toUtf8(raw.version, std::size(raw.version));
      c.sdkVersion = toUtf8(raw.sdkVersion, std::size(raw.sdkVersion));
    } else if (f2 && f2->getClassInfo2(i, &raw2) == kResultOk) {
      const PClassInfo2& raw = raw2;
      std::memcpy(c.cid.bytes, raw.cid, 16);
      c.cardinality = raw.cardinality;
      c.category = fromFixed(raw.category, sizeof raw.category);
      c.name = fromFixed(raw.name, sizeof raw.name);
      c.classFlags = raw.classFlags;
      c.subCategories = splitSubCategories(fromFixed(raw.subCategories, sizeof raw.subCategories));
      c.vendor = fromFixed(raw.vendor, sizeof raw.vendor);
      c.version = fromFixed(raw.version, sizeof raw.version);
      c.sdkVersion = fromFixed(raw.sdkVersion, sizeof raw.sdkVersion);
    } else if (factory_->getClassInfo(i, &raw1) == kResultOk) {
      const PClassInfo& raw = raw1;
      std::memcpy(c.cid.bytes, raw.cid, 16);
      c.cardinality = raw.cardinality;
      c.category = fromFixed(raw.category, sizeof raw.category);
      c.name = fromFixed(raw.name, sizeof raw.name);
    } else {
      continue;
    }
    out.push_back(std::move(c));
  }
  return out;
}

std::string Module::getBinaryPath(const std::string& path) {
  const fs::path root = bundleRoot(path);
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return root.string();
  return (root / "Contents" / kArchFolder / (root.stem().string() + ".so")).string();
}

Module::Ptr Module::create(const std::string& path, std::string& errorDescription) {
  const fs::path root = bundleRoot(path);
  std::error_code ec;
  fs::path so = root;
  if (fs::is_directory(root, ec)) {
    so = root / "Contents" / kArchFolder / (root.stem().string() + ".so");
    if (!fs::exists(so, ec)) {
      errorDescription = "the bundle has no " + std::string("Contents/") + kArchFolder + "/" + so.filename().string();
      return nullptr;
    }
  } else if (!fs::exists(root, ec)) {
    errorDescription = "the module does not exist";
    return nullptr;
  }

  // A name without a slash would be searched for in the library path.
  if (!so.has_parent_path()) so = fs::path(".") / so;
  ::dlerror();
  void* handle = ::dlopen(so.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    errorDescription = dlText("the shared object could not be loaded");
    return nullptr;
  }
  // From here on nothing is unloaded, also after a failure: the object's
  // constructors have run and may have left threads or handlers behind.
  auto entry = reinterpret_cast<ModuleEntryFunc>(::dlsym(handle, "ModuleEntry"));
  auto exitFn = reinterpret_cast<ModuleExitFunc>(::dlsym(handle, "ModuleExit"));
  auto getFactory = reinterpret_cast<GetFactoryProc>(::dlsym(handle, "GetPluginFactory"));
  if (!getFactory) {
    errorDescription = "the module does not export GetPluginFactory";
    return nullptr;
  }
  if (!entry || !exitFn) {
    errorDescription = "the module does not export ModuleEntry and ModuleExit";
    return nullptr;
  }
  if (!entry(handle)) {
    errorDescription = "ModuleEntry failed";
    return nullptr;
  }
  IPluginFactory* factory = getFactory();
  if (!factory) {
    exitFn();
    errorDescription = "GetPluginFactory returned no factory";
    return nullptr;
  }

  Ptr module(new Module);
  module->name_ = root.stem().string();
  module->path_ = path;
  module->exit_ = exitFn;
  module->factory_.emplace(IPtr<IPluginFactory>::adopt(factory));
  return module;
}

std::optional<std::string> Module::getModuleInfoPath(const std::string& path) {
  const fs::path root = bundleRoot(path);
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return std::nullopt;
  for (const fs::path& candidate :
       {root / "Contents" / "Resources" / "moduleinfo.json", root / "Contents" / "moduleinfo.json"}) {
    if (fs::is_regular_file(candidate, ec)) return candidate.string();
  }
  return std::nullopt;
}

Module::~Module() {
  factory_.reset();
  if (exit_) exit_();
}

}  // namespace VST3::Hosting
