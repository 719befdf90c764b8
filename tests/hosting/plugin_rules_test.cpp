#include <gtest/gtest.h>
#include <locale.h>

#include <cmath>

#include "hosting/plugin_rules.h"

namespace bridge {
namespace {

TEST(GainReductionName, Table) {
  const std::pair<const char*, bool> cases[] = {
      {"Gain Reduction", true}, {"GR", true},         {"gr", true},          {"GR Left", true},
      {"Compression Amount", true}, {"REDUCTION", true}, {"Noise reduction", true},
      {"Grit", false},          {"GR-L", false},      {"Compression", false}, {"", false},
      {"G R", false},           {"xgr ", false},      {"Gr", true},
  };
  for (const auto& [name, passes] : cases) EXPECT_EQ(isGainReductionName(name), passes) << name;
}

struct DbCase {
  const char* text;
  float db;  // NaN: no value
};

const DbCase kDbCases[] = {
    {"-4.5 dB", -4.5f},  {"GR: 3.0dB", 3.0f}, {"dB -2", -2.0f},   {"0 dB", 0.0f},     {"+1.5db", 1.5f},
    {"12 %", NAN},       {"dB", NAN},         {"reduction", NAN}, {"d", NAN},        {"", NAN},
    {".5 DB", 0.5f},     {"- dB", NAN},      {"1e2 dB", 100.0f}, {"3,5 dB", 3.0f},
};

void checkDbTable() {
  for (const auto& c : kDbCases) {
    float got = parseDb(c.text);
    if (std::isnan(c.db))
      EXPECT_TRUE(std::isnan(got)) << c.text << " gave " << got;
    else
      EXPECT_FLOAT_EQ(got, c.db) << c.text;
  }
}

TEST(ParseDb, Table) { checkDbTable(); }

TEST(ParseDb, SameUnderCommaDecimalLocale) {
  // A user's locale must not turn "-4.5 dB" into -4.
  const char* old = setlocale(LC_ALL, nullptr);
  std::string saved = old ? old : "C";
  if (!setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 locale not generated";
  ASSERT_STREQ(localeconv()->decimal_point, ",");
  checkDbTable();
  setlocale(LC_ALL, saved.c_str());
}

}  // namespace
}  // namespace bridge
