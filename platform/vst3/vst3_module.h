#pragma once
// Loading a Linux VST3 bundle (Name.vst3/Contents/<arch>-linux/Name.so) and
// reading its factory. A loaded module's code is never unmapped: plug-ins leave
// threads and exit handlers behind that would run into unmapped code.
//
// Threads: create and getModuleInfoPath on any thread. One Module and its
// factory are used by one thread at a time.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/vst3/vst3_factory.h"

namespace VST3::Hosting {

struct FactoryInfo {
  std::string vendor;
  std::string url;
  std::string email;
  Steinberg::int32 flags = 0;
};

struct ClassInfo {
  Steinberg::Uid cid{};
  Steinberg::int32 cardinality = 0;
  std::string category;
  std::string name;
  std::string vendor;  // as the class gives it; may be empty
  std::string version;
  std::string sdkVersion;
  std::vector<std::string> subCategories;
  Steinberg::uint32 classFlags = 0;

  std::string subCategoriesString() const;  // joined with '|'
};

// Splits a '|'-joined sub-category text, dropping empty parts.
std::vector<std::string> splitSubCategories(const std::string& text);

class PluginFactory {
 public:
  explicit PluginFactory(Steinberg::IPtr<Steinberg::IPluginFactory> factory) : factory_(std::move(factory)) {}

  FactoryInfo info() const;
  // Every class the factory describes, in its order, from the richest record
  // it gives for that class (unicode, else version 2, else version 1).
  // Classes whose record cannot be had at all are left out.
  std::vector<ClassInfo> classInfos() const;
  Steinberg::IPluginFactory* get() const { return factory_.get(); }

 private:
  Steinberg::IPtr<Steinberg::IPluginFactory> factory_;
};

class Module {
 public:
  using Ptr = std::shared_ptr<Module>;

  // Loads the bundle (or a plain shared object), calls ModuleEntry and takes the
  // factory. On failure returns null with `errorDescription` set.
  static Ptr create(const std::string& path, std::string& errorDescription);
  // The bundle's moduleinfo.json (Contents/Resources, else Contents), when present.
  static std::optional<std::string> getModuleInfoPath(const std::string& path);
  // The shared object a bundle holds for this platform
  // (Contents/<arch>-linux/<name>.so), whether or not it exists; a path that is
  // not a folder is its own shared object.
  static std::string getBinaryPath(const std::string& path);

  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;
  // Releases the factory, then calls ModuleExit; the code stays loaded.
  ~Module();

  const std::string& getName() const { return name_; }
  const std::string& getPath() const { return path_; }
  const PluginFactory& getFactory() const { return *factory_; }

 private:
  Module() = default;

  std::string name_;
  std::string path_;
  Steinberg::ModuleExitFunc exit_ = nullptr;
  std::optional<PluginFactory> factory_;
};

}  // namespace VST3::Hosting
