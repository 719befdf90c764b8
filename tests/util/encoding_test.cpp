#include <gtest/gtest.h>

#include "util/encoding.h"

namespace bridge {
namespace {

std::string encode(const std::string& s) { return base64Encode(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

TEST(Base64, EncodeVectors) {
  // RFC 4648 section 10.
  const std::pair<const char*, const char*> cases[] = {{"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},
                                                       {"foo", "Zm9v"},   {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                                       {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"}, {"ab", "YWI="}};
  for (const auto& [plain, coded] : cases) EXPECT_EQ(encode(plain), coded) << plain;
}

struct DecodeCase {
  const char* text;
  bool ok;
  const char* plain;
};

TEST(Base64, DecodeVectors) {
  const DecodeCase cases[] = {
      {"", true, ""},
      {"YWI=", true, "ab"},
      {"YWJj", true, "abc"},
      {"Zm9vYmFy", true, "foobar"},
      {"Zm9v\nYmFy", true, "foobar"},     // line breaks are ignored
      {"Zm9v\r\nYmFy", true, "foobar"},
      {"YWI", false, ""},                 // padding missing: not whole quads
      {"YWJjZ", false, ""},               // a lone digit
      {"YWJjZA", false, ""},
      {"YWJjZA=", false, ""},
      {"YW=I", false, ""},                // digit after padding
      {"YWI===", false, ""},
      {"YW I=", false, ""},               // space inside a line
      {"YWI*", false, ""},                // outside the alphabet
      {"\xc3\xa9\xc3\xa9", false, ""},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out;
    ASSERT_EQ(base64Decode(c.text, out), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(std::string(out.begin(), out.end()), c.plain) << c.text;
    }
  }
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
  std::vector<uint8_t> data;
  for (int n = 0; n < 300; ++n) {
    std::vector<uint8_t> out;
    std::string text = base64Encode(data.data(), data.size());
    ASSERT_EQ(text.size(), 4 * ((data.size() + 2) / 3));
    ASSERT_TRUE(base64Decode(text, out));
    ASSERT_EQ(out, data);
    data.push_back(static_cast<uint8_t>(n * 37 + 11));
  }
}

TEST(Hex, LowerCaseHighNibbleFirst) {
  const uint8_t bytes[] = {0x00, 0xAB, 0xFF};
  EXPECT_EQ(hex(bytes, 3), "00abff");
  EXPECT_EQ(hex(bytes, 0), "");
}

}  // namespace
}  // namespace bridge
