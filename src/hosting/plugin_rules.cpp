#include "hosting/plugin_rules.h"

#include <locale.h>
#include <stdlib.h>

#include <cmath>

namespace bridge {

namespace {

std::string asciiLower(const std::string& s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Display texts come from plug-ins in C notation ("-4.5"); a user's comma-decimal
// locale must not change how they read.
locale_t cLocale() {
  static locale_t loc = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  return loc;
}

}  // namespace

bool isGainReductionName(const std::string& name) {
  const std::string n = asciiLower(name);
  return n.find("reduction") != std::string::npos || n.find("compression amount") != std::string::npos ||
         n == "gr" || n.rfind("gr ", 0) == 0;
}

float parseDb(const std::string& text) {
  const std::string t = asciiLower(text);
  if (t.size() < 2 || t.find("db") == std::string::npos) return NAN;
  size_t i = 0;
  while (i < t.size() && !((t[i] >= '0' && t[i] <= '9') || t[i] == '+' || t[i] == '-' || t[i] == '.')) ++i;
  const char* start = t.c_str() + i;
  char* end = nullptr;
  float v = strtof_l(start, &end, cLocale());
  if (end == start) return NAN;
  return v;
}

}  // namespace bridge
