// Our VST3 declarations: id byte order, UTF-16 texts and the moduleinfo.json
// reader. Layouts are checked by static_asserts in the headers.
#include <gtest/gtest.h>

#include "platform/vst3/vst3_factory.h"
#include "platform/vst3/vst3_moduleinfo.h"
#include "platform/vst3/vst3_module.h"
#include "platform/vst3/vst3_strings.h"

namespace Steinberg {
namespace {

std::string bytes(const Uid& u) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (char c : u.bytes) {
    auto b = static_cast<unsigned char>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

TEST(Vst3Ids, WordsAreStoredMostSignificantByteFirst) {
  EXPECT_EQ(bytes(FUnknown::iid), "0000000000000000C000000000000046");
  EXPECT_EQ(bytes(IPluginFactory::iid), "7A4D811C52114A1FAED9D2EE0B43BF9F");
  EXPECT_EQ(bytes(IPluginFactory2::iid), "0007B650F24B4C0BA464EDB9F00B2ABB");
  EXPECT_EQ(bytes(IPluginFactory3::iid), "4555A2ABC1234E579B12291036878931");
  EXPECT_TRUE(IPluginFactory::iid.matches(IPluginFactory::iid.bytes));
  EXPECT_FALSE(IPluginFactory::iid.matches(IPluginFactory2::iid.bytes));
  EXPECT_FALSE(IPluginFactory::iid.matches(nullptr));
}

TEST(Vst3Strings, Utf16ToUtf8) {
  const char16 text[] = {u'a', 0x00FC, 0x20AC, 0xD83C, 0xDFB5, 0xD800, u'z', 0, u'x'};
  EXPECT_EQ(toUtf8(text, std::size(text)), "a\u00fc\u20ac\U0001F3B5\uFFFDz");  // stops at NUL
  EXPECT_EQ(toUtf8(text, 2), "a\u00fc");                                       // field without NUL
  const char16 lone[] = {0xDC00, 0};
  EXPECT_EQ(toUtf8(lone, 2), "\uFFFD");
  const char8 fixed[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(fromFixed(fixed, 4), "abcd");
}

TEST(Vst3SubCategories, SplitDropsEmptyParts) {
  using V = std::vector<std::string>;
  EXPECT_EQ(VST3::Hosting::splitSubCategories("Fx|Delay"), (V{"Fx", "Delay"}));
  EXPECT_EQ(VST3::Hosting::splitSubCategories("|Fx||EQ|"), (V{"Fx", "EQ"}));
  EXPECT_EQ(VST3::Hosting::splitSubCategories(""), V{});
}

TEST(ModuleInfoReader, AcceptsCommentsAndTrailingCommas) {
  auto info = ModuleInfoLib::parseJson(R"(// header
{
  "Name": "x, ]", /* a comma and a bracket inside a string stay */
  "Version": "1.0",
  "Factory Info": {"Vendor": "V", "URL": "https://example.invalid/a//b", "E-Mail": "m",
                   "Flags": {"Unicode": true, "Classes Discardable": true,},},
  "Classes": [
    {"CID": "00112233445566778899AABBCCDDEEFF", "Category": "Audio Module Class", "Name": "C \"q\"",
     "Sub Categories": ["Fx", "Delay",], "Class Flags": 1, "Cardinality": 2147483647,},
  ],
})");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->name, "x, ]");
  EXPECT_EQ(info->factoryInfo.url, "https://example.invalid/a//b");
  EXPECT_EQ(info->factoryInfo.flags, PFactoryInfo::kUnicode | PFactoryInfo::kClassesDiscardable);
  ASSERT_EQ(info->classes.size(), 1u);
  EXPECT_EQ(info->classes[0].name, "C \"q\"");
  EXPECT_EQ(info->classes[0].subCategories, (std::vector<std::string>{"Fx", "Delay"}));
  EXPECT_EQ(info->classes[0].flags, 1u);
}

TEST(ModuleInfoReader, RejectsWhatIsNotAModuleInfo) {
  const char* texts[] = {
      "",
      "[]",
      R"({"Classes": []})",
      R"({"Factory Info": {}})",
      R"({"Factory Info": {}, "Classes": [] /* unterminated)",
      R"({"Factory Info": {"Vendor": 3}, "Classes": []})",
      R"({"Factory Info": {"Flags": {"Unicode": 1}}, "Classes": []})",
      R"({"Factory Info": {}, "Classes": [{"CID": "a", "Category": "b", "Name": "c", "Cardinality": 1e400}]})",
      R"({"Factory Info": {}, "Classes": [{"CID": "a", "Category": "b", "Name": "c", "Class Flags": -1}]})",
      R"({"Factory Info": {}, "Classes": [5]})",
      R"({"Name": "unterminated string)",
  };
  for (const char* text : texts) {
    std::string error;
    EXPECT_FALSE(ModuleInfoLib::parseJson(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

}  // namespace
}  // namespace Steinberg
