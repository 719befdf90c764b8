#pragma once
// One plug-in position in a chain, and the metering row it records per block.
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/spectrum.h"
#include "hosting/plugin.h"

namespace bridge {

// One metering row of a slot for one block. Fixed size, so the worker can keep
// them in a ring without allocating.
struct LevelRow {
  int32_t epoch = 0;
  // Input position minus the latency of this slot and all before it: the time of
  // the dry signal this row measures.
  int32_t position = 0;
  int32_t frames = 0;
  float peakIn = 0.0f;     // latency-aligned dry copy, both channels
  float peakOut = 0.0f;    // slot output, both channels
  float reduction = 0.0f;  // Plugin::gainReduction, NaN when none for this block
  bool hasSpectrum = false;
  float correlation = NAN;  // output left/right, NaN when not measured or silent
  // Meaningful only when hasSpectrum is set.
  std::array<int8_t, Spectrum::kBands> bandsIn{};
  std::array<int8_t, Spectrum::kBands> bandsOut{};
};

inline constexpr uint32_t kLevelRingRows = 64;

// Threads, by field group:
// - identity (key, pluginId, name, plugin, paramIds) and spectrumOwner: written by
//   the main thread before the slot is installed, or only there afterwards;
// - switches (bypass, meter, spectrum, stereo, spectrumPtr): atomics written by the
//   main thread, read by the worker once per block;
// - processing state (latency, delay lines, delayIndex, mix, dry copies): owned by
//   the chain and touched only under its slot lock;
// - the level ring: `rows` and `written` by the worker alone, `read` by
//   Chain::takeLevels alone; rows are complete before `written` is released and
//   copied out before `read` is released, so neither side sees a torn row.
// The last owner must let go on the main thread: destruction closes the editor
// and destroys the plug-in (Chain hands its list to its release hook for this).
struct Slot {
  Slot() = default;
  ~Slot();
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;

  std::string key;
  std::string pluginId;
  std::string name;
  std::shared_ptr<Plugin> plugin;
  std::vector<std::string> paramIds;
  std::atomic<bool> bypass{false};
  int32_t latency = 0;
  std::vector<float> delayL, delayR;  // latency + 1 samples
  int64_t delayIndex = 0;
  float mix = -1.0f;  // wet gain; below 0 until the first block takes its target at once
  std::vector<float> dryL, dryR;  // this block's latency-aligned input
  std::atomic<double> cpuMs{0.0};
  std::atomic<bool> meter{false};
  std::atomic<bool> spectrum{false};
  std::unique_ptr<Spectrum> spectrumOwner;
  // Published once and never freed before the slot, so the worker may keep using it.
  std::atomic<Spectrum*> spectrumPtr{nullptr};
  std::atomic<bool> stereo{false};
  std::array<LevelRow, kLevelRingRows> rows{};
  std::atomic<uint32_t> written{0};
  std::atomic<uint32_t> read{0};
};

}  // namespace bridge
