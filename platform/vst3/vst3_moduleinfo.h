#pragma once
// Reading a bundle's moduleinfo.json: what its factory would say, without
// loading any code. Pure; any thread.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/vst3/vst3_base.h"

namespace Steinberg {

struct ModuleInfo {
  struct FactoryInfo {
    std::string vendor;
    std::string url;
    std::string email;
    int32 flags = 0;  // PFactoryInfo::FactoryFlags
  };
  struct ClassInfo {
    std::string cid;  // 32 hexadecimal digits as written in the file
    std::string category;
    std::string name;
    std::string vendor;
    std::string version;
    std::string sdkVersion;
    std::vector<std::string> subCategories;
    int32 cardinality = 0x7FFFFFFF;
    uint32 flags = 0;
  };

  std::string name;
  std::string version;
  FactoryInfo factoryInfo;
  std::vector<ClassInfo> classes;
};

namespace ModuleInfoLib {

// Parses the file's text. Plug-in tools write JSON5, so // and /* */ comments
// and trailing commas are accepted. Null when the text is not a module info: it
// must be an object with a "Factory Info" object and a "Classes" array whose
// elements have "CID", "Category" and "Name"; a member of the wrong type fails
// the whole file. `error`, when given, receives the reason.
std::optional<ModuleInfo> parseJson(std::string_view text, std::string* error = nullptr);

// The text with comments and trailing commas removed; null when a comment or a
// string is not closed.
std::optional<std::string> stripJson5(std::string_view text);

}  // namespace ModuleInfoLib

}  // namespace Steinberg
