#pragma once
// Rules shared by all formats. Pure; any thread; independent of the process locale.
#include <string>

namespace bridge {

// Whether a read-only parameter's name marks it as a gain-reduction meter.
bool isGainReductionName(const std::string& name);

// The decibel value in a parameter's display text ("-4.5 dB", "GR: 3.0dB"); NaN
// when the text names no dB value.
float parseDb(const std::string& text);

}  // namespace bridge
