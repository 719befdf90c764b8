// The effects every registry starts with: small, exact units for tests and
// examples. A gain, a delay that reports its latency, a compressor with a
// gain-reduction meter, and a music effect that follows the host's beat.
#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/audiounit/au_component.h"

namespace bridge::au {

namespace {

constexpr uint32_t kManufacturer = fourCc("Krvl");
constexpr const char* kVendor = "Krevlo";
constexpr const char* kVersion = "1.0.0";

float dbToGain(float db) { return static_cast<float>(std::pow(10.0, static_cast<double>(db) / 20.0)); }

// Gain: one global parameter in dB; 0 dB passes the signal bit for bit.
class GainDsp final : public Dsp {
 public:
  Status render(Unit& unit, const float* inL, const float* inR, float* outL, float* outR, uint32_t n) override {
    float db = 0.0f;
    unit.getParameter(0, Scope::Global, 0, db);
    const float g = dbToGain(db);
    for (uint32_t i = 0; i < n; ++i) {
      outL[i] = inL[i] * g;
      outR[i] = inR[i] * g;
    }
    return kNoErr;
  }
};

// Delay: the input comes out the reported latency later, times its level.
constexpr double kDelaySeconds = 0.0015;
constexpr uint64_t kDelayLevelAddress = 0x100000001ull;  // beyond 32 bits: reached through the tree only

class DelayDsp final : public Dsp {
 public:
  void prepare(Unit& unit, double sampleRate, uint32_t) override {
    level_ = unit.parameterTree()->parameterWithAddress(kDelayLevelAddress);
    const long samples = std::lround(kDelaySeconds * sampleRate);
    for (auto& line : lines_) line.assign(static_cast<size_t>(std::max(samples, 1L)), 0.0f);
    delay_ = static_cast<size_t>(std::max(samples, 0L));
    at_ = 0;
  }
  void reset() override {
    for (auto& line : lines_) std::fill(line.begin(), line.end(), 0.0f);
    at_ = 0;
  }
  Status render(Unit&, const float* inL, const float* inR, float* outL, float* outR, uint32_t n) override {
    const float level = level_ ? level_->value() : 1.0f;
    for (uint32_t i = 0; i < n; ++i) {
      float l = inL[i], r = inR[i];
      if (delay_ > 0) {
        std::swap(l, lines_[0][at_]);
        std::swap(r, lines_[1][at_]);
        at_ = at_ + 1 == delay_ ? 0 : at_ + 1;
      }
      outL[i] = l * level;
      outR[i] = r * level;
    }
    return kNoErr;
  }

 private:
  const Parameter* level_ = nullptr;
  std::vector<float> lines_[2];
  size_t delay_ = 0;
  size_t at_ = 0;
};

// Compressor: each block's peak above the threshold is reduced by the ratio;
// the meter reads the reduction in dB.
enum CompressorAddress : uint32_t { kThreshold = 0, kRatio = 1, kGainReduction = 2 };

class CompressorDsp final : public Dsp {
 public:
  void prepare(Unit& unit, double, uint32_t) override {
    meter_ = unit.parameterTree()->parameterWithAddress(kGainReduction);
  }
  Status render(Unit& unit, const float* inL, const float* inR, float* outL, float* outR, uint32_t n) override {
    float threshold = 0.0f, ratio = 1.0f;
    unit.getParameter(kThreshold, Scope::Global, 0, threshold);
    unit.getParameter(kRatio, Scope::Global, 0, ratio);
    float peak = 0.0f;
    for (uint32_t i = 0; i < n; ++i) peak = std::max({peak, std::fabs(inL[i]), std::fabs(inR[i])});
    float reduction = 0.0f;
    if (peak > 0.0f && ratio >= 1.0f) {
      const float over = 20.0f * std::log10(peak) - threshold;
      if (over > 0.0f) reduction = over * (1.0f - 1.0f / ratio);
    }
    const float g = dbToGain(-reduction);
    for (uint32_t i = 0; i < n; ++i) {
      outL[i] = inL[i] * g;
      outR[i] = inR[i] * g;
    }
    if (meter_) meter_->store(reduction);
    return kNoErr;
  }

 private:
  Parameter* meter_ = nullptr;
};

// Beat gate: the second half of every beat is attenuated by the depth.
class BeatGateDsp final : public Dsp {
 public:
  Status render(Unit& unit, const float* inL, const float* inR, float* outL, float* outR, uint32_t n) override {
    float depth = 0.0f;
    unit.getParameter(0, Scope::Global, 0, depth);
    double beat = 0.0;
    const HostCallbacks& host = unit.hostCallbacks();
    if (host.beatAndTempo) host.beatAndTempo(host.userData, &beat, nullptr);
    const double fraction = std::isfinite(beat) ? beat - std::floor(beat) : 0.0;
    const float g = fraction < 0.5 ? 1.0f : 1.0f - depth;
    for (uint32_t i = 0; i < n; ++i) {
      outL[i] = inL[i] * g;
      outR[i] = inR[i] * g;
    }
    return kNoErr;
  }
};

ParameterSpec param(uint64_t address, const char* name, ParameterUnit unit, float min, float max, float def) {
  ParameterSpec p;
  p.address = address;
  p.displayName = name;
  p.unit = unit;
  p.minValue = min;
  p.maxValue = max;
  p.defaultValue = def;
  return p;
}

Component builtin(uint32_t type, uint32_t subtype, const char* name, std::vector<std::string> tags,
                  std::function<UnitSpec()> spec) {
  Component c;
  c.description = {type, subtype, kManufacturer, 0, 0};
  c.name = name;
  c.manufacturerName = kVendor;
  c.versionString = kVersion;
  c.allTagNames = std::move(tags);
  c.spec = std::move(spec);
  return c;
}

}  // namespace

void registerBuiltins(Registry& registry) {
  registry.add(builtin(kTypeEffect, fourCc("gain"), "Krevlo Gain", {}, [] {
    UnitSpec s;
    s.parameters = {param(0, "Gain", ParameterUnit::Decibels, -24.0f, 24.0f, 0.0f)};
    s.makeDsp = [] { return std::make_unique<GainDsp>(); };
    return s;
  }));
  registry.add(builtin(kTypeEffect, fourCc("dely"), "Krevlo Delay", {"Delay"}, [] {
    UnitSpec s;
    ParameterSpec level = param(kDelayLevelAddress, "Level", ParameterUnit::LinearGain, 0.0f, 1.0f, 1.0f);
    level.global = false;
    s.parameters = {level};
    s.latency = kDelaySeconds;
    s.tailTime = kDelaySeconds;
    s.makeDsp = [] { return std::make_unique<DelayDsp>(); };
    return s;
  }));
  registry.add(builtin(kTypeEffect, fourCc("comp"), "Krevlo Compressor", {"Dynamics", "Compressor"}, [] {
    UnitSpec s;
    ParameterSpec meter = param(kGainReduction, "Gain Reduction", ParameterUnit::Decibels, 0.0f, 60.0f, 0.0f);
    meter.flags = kParameterFlagIsReadable | kParameterFlagMeterReadOnly;
    s.parameters = {param(kThreshold, "Threshold", ParameterUnit::Decibels, -60.0f, 0.0f, -12.0f),
                    param(kRatio, "Ratio", ParameterUnit::Ratio, 1.0f, 20.0f, 4.0f), meter};
    s.makeDsp = [] { return std::make_unique<CompressorDsp>(); };
    return s;
  }));
  registry.add(builtin(kTypeMusicEffect, fourCc("bgat"), "Krevlo Beat Gate", {"Rhythmic"}, [] {
    UnitSpec s;
    s.parameters = {param(0, "Depth", ParameterUnit::Generic, 0.0f, 1.0f, 1.0f)};
    s.makeDsp = [] { return std::make_unique<BeatGateDsp>(); };
    return s;
  }));
}

}  // namespace bridge::au
