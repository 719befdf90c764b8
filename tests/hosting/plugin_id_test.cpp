#include <gtest/gtest.h>

#include "hosting/plugin_id.h"

namespace bridge {
namespace {

constexpr uint32_t fourCc(const char (&s)[5]) {
  return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) | (uint32_t(uint8_t(s[2])) << 8) |
         uint32_t(uint8_t(s[3]));
}

TEST(PluginId, AudioUnitFormIsSeventeenCharacters) {
  EXPECT_EQ(auPluginId(fourCc("aufx"), fourCc("abcd"), fourCc("Wxyz")), "AU:aufx:abcd:Wxyz");
  // A zero byte is written as a space, keeping the length.
  std::string id = auPluginId(fourCc("aumf"), 0x61620000u, fourCc("Krev"));
  EXPECT_EQ(id, "AU:aumf:ab  :Krev");
  EXPECT_EQ(id.size(), 17u);
}

TEST(PluginId, Vst3FormIsUpperHexInMemoryOrder) {
  const uint8_t cid[16] = {0x00, 0x01, 0xab, 0xcd, 0xef, 0x10, 0x20, 0x30,
                           0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xa0, 0xff};
  EXPECT_EQ(vst3PluginId(cid), "VST3:0001ABCDEF102030405060708090A0FF");
}

TEST(PluginId, FormatIsTextBeforeFirstColon) {
  EXPECT_EQ(clapPluginId("org.krevlo.gain"), "CLAP:org.krevlo.gain");
  EXPECT_EQ(formatOfId("CLAP:org.krevlo:gain"), "CLAP");
  EXPECT_EQ(formatOfId("AU:aufx:abcd:Wxyz"), "AU");
  EXPECT_EQ(formatOfId("nocolon"), "");
  EXPECT_EQ(formatOfId(":x"), "");
}

}  // namespace
}  // namespace bridge
