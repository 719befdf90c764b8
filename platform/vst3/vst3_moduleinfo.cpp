#include "platform/vst3/vst3_moduleinfo.h"

#include <limits>
#include <nlohmann/json.hpp>

#include "platform/vst3/vst3_factory.h"

namespace Steinberg::ModuleInfoLib {

using nlohmann::json;

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

struct Reader {
  std::string error;

  bool fail(std::string why) {
    if (error.empty()) error = std::move(why);
    return false;
  }

  // Optional member: absent leaves `out` alone; present must be a string.
  bool str(const json& obj, const char* key, std::string& out, bool required = false) {
    auto it = obj.find(key);
    if (it == obj.end()) return required ? fail(std::string("missing \"") + key + "\"") : true;
    if (!it->is_string()) return fail(std::string("\"") + key + "\" is not a string");
    out = it->get<std::string>();
    return true;
  }

  template <class Int>
  bool integer(const json& obj, const char* key, Int& out) {
    auto it = obj.find(key);
    if (it == obj.end()) return true;
    if (!it->is_number_integer()) return fail(std::string("\"") + key + "\" is not an integer");
    if (it->is_number_unsigned()) {
      auto v = it->get<uint64_t>();
      if (v > static_cast<uint64_t>(std::numeric_limits<Int>::max())) return fail(std::string("\"") + key + "\" is out of range");
      out = static_cast<Int>(v);
    } else {
      auto v = it->get<int64_t>();
      if (v < static_cast<int64_t>(std::numeric_limits<Int>::min()) ||
          v > static_cast<int64_t>(std::numeric_limits<Int>::max()))
        return fail(std::string("\"") + key + "\" is out of range");
      out = static_cast<Int>(v);
    }
    return true;
  }

  bool flags(const json& factory, int32& out) {
    auto it = factory.find("Flags");
    if (it == factory.end()) return true;
    if (!it->is_object()) return fail("\"Flags\" is not an object");
    static const std::pair<const char*, int32> names[] = {
        {"Classes Discardable", PFactoryInfo::kClassesDiscardable},
        {"License Check", PFactoryInfo::kLicenseCheck},
        {"Component Non Discardable", PFactoryInfo::kComponentNonDiscardable},
        {"Unicode", PFactoryInfo::kUnicode},
    };
    for (const auto& [name, bit] : names) {
      auto f = it->find(name);
      if (f == it->end()) continue;
      if (!f->is_boolean()) return fail(std::string("\"") + name + "\" is not a boolean");
      if (f->get<bool>()) out |= bit;
    }
    return true;
  }

  bool classInfo(const json& c, ModuleInfo::ClassInfo& out) {
    if (!c.is_object()) return fail("a class is not an object");
    if (!str(c, "CID", out.cid, true) || !str(c, "Category", out.category, true) || !str(c, "Name", out.name, true) ||
        !str(c, "Vendor", out.vendor) || !str(c, "Version", out.version) || !str(c, "SDKVersion", out.sdkVersion) ||
        !integer(c, "Cardinality", out.cardinality) || !integer(c, "Class Flags", out.flags))
      return false;
    auto sub = c.find("Sub Categories");
    if (sub != c.end()) {
      if (!sub->is_array()) return fail("\"Sub Categories\" is not an array");
      for (const auto& s : *sub) {
        if (!s.is_string()) return fail("a sub-category is not a string");
        out.subCategories.push_back(s.get<std::string>());
      }
    }
    return true;
  }

  std::optional<ModuleInfo> module(const json& doc) {
    if (!doc.is_object()) {
      fail("not an object");
      return std::nullopt;
    }
    ModuleInfo info;
    if (!str(doc, "Name", info.name) || !str(doc, "Version", info.version)) return std::nullopt;
    auto factory = doc.find("Factory Info");
    if (factory == doc.end() || !factory->is_object()) {
      fail("no \"Factory Info\" object");
      return std::nullopt;
    }
    if (!str(*factory, "Vendor", info.factoryInfo.vendor) || !str(*factory, "URL", info.factoryInfo.url) ||
        !str(*factory, "E-Mail", info.factoryInfo.email) || !flags(*factory, info.factoryInfo.flags))
      return std::nullopt;
    auto classes = doc.find("Classes");
    if (classes == doc.end() || !classes->is_array()) {
      fail("no \"Classes\" array");
      return std::nullopt;
    }
    for (const auto& c : *classes) {
      ModuleInfo::ClassInfo ci;
      if (!classInfo(c, ci)) return std::nullopt;
      info.classes.push_back(std::move(ci));
    }
    return info;
  }
};

}  // namespace

std::optional<std::string> stripJson5(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pendingComma = std::string::npos;  // index in `out` of a comma not yet followed by a value
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') {
      pendingComma = std::string::npos;
      size_t j = i + 1;
      while (j < text.size() && text[j] != '"') j += (text[j] == '\\') ? 2 : 1;
      if (j >= text.size()) return std::nullopt;
      out.append(text.substr(i, j + 1 - i));
      i = j + 1;
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
      while (i < text.size() && text[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      size_t end = text.find("*/", i + 2);
      if (end == std::string_view::npos) return std::nullopt;
      out += ' ';  // a comment still separates tokens
      i = end + 2;
    } else if (isSpace(c)) {
      out += c;
      ++i;
    } else {
      if ((c == '}' || c == ']') && pendingComma != std::string::npos) out[pendingComma] = ' ';
      pendingComma = (c == ',') ? out.size() : std::string::npos;
      out += c;
      ++i;
    }
  }
  return out;
}

std::optional<ModuleInfo> parseJson(std::string_view text, std::string* error) {
  Reader r;
  std::optional<ModuleInfo> result;
  if (auto clean = stripJson5(text)) {
    // Numbers beyond double range throw even in non-throwing mode in some
    // library versions; a module info with one is simply not a module info.
    json doc;
    try {
      doc = json::parse(*clean, nullptr, false);
    } catch (const json::exception&) {
      doc = json::value_t::discarded;
    }
    if (doc.is_discarded())
      r.fail("not valid JSON");
    else
      result = r.module(doc);
  } else {
    r.fail("an unterminated comment or string");
  }
  if (!result && error) *error = r.error;
  return result;
}

}  // namespace Steinberg::ModuleInfoLib
