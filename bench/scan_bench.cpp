// Plug-in examination: a rescan of an unchanged catalog must cost one stamp per
// file and no helper process; a first scan is bound by helper runs.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>

#include "hosting/scan.h"
#include "util/files.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

fs::path scratch(const char* name) {
  const char* tmp = std::getenv("TMPDIR");
  fs::path dir = fs::path(tmp && *tmp ? tmp : "/tmp") / ("krevlo-bench-" + std::to_string(::getpid())) / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

bridge::ScanSpec clapSpec(const fs::path& dir, std::string helper) {
  bridge::ScanSpec spec;
  spec.format = "CLAP";
  spec.cacheFile = dir / "clap-cache.json";
  spec.cacheKey = "files";
  spec.helper = std::move(helper);
  return spec;
}

void BM_rescanCached500(benchmark::State& state) {
  const fs::path dir = scratch("cached");
  std::vector<std::string> files;
  for (int i = 0; i < 500; ++i) {
    files.push_back((dir / "plugins" / ("p" + std::to_string(i) + ".clap")).string());
    bridge::writeFile(files.back(), "x", false);
  }
  std::atomic<bool> cancel{false};
  // Fill the cache through the quick probe, with entries of a realistic size.
  bridge::ScanSpec fill = clapSpec(dir, (dir / "no-helper").string());
  fill.probe = [](const std::string& path) {
    return json{{"plugins",
                 {{{"id", "org.example." + path}, {"name", "Some Effect"}, {"vendor", "Some Vendor"},
                   {"version", "1.2.3"}, {"features", "audio-effect|stereo|delay"}}}},
                {"tags", true}};
  };
  bridge::scanInHelpers(fill, files, cancel);

  // No helper exists: any file that is not answered by the cache is missing.
  const bridge::ScanSpec spec = clapSpec(dir, (dir / "no-helper").string());
  for (auto _ : state) {
    bridge::ScanResult r = bridge::scanInHelpers(spec, files, cancel);
    if (r.entries.size() != files.size()) state.SkipWithError("a cached file was not reused");
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(files.size()));
  fs::remove_all(dir.parent_path());
}
BENCHMARK(BM_rescanCached500)->Unit(benchmark::kMillisecond);

#ifdef KREVLO_TEST_PLUGINS
void BM_firstScan64(benchmark::State& state) {
  const fs::path dir = scratch("first");
  std::vector<std::string> files;
  for (int i = 0; i < 64; ++i) {
    files.push_back((dir / "plugins" / ("p" + std::to_string(i) + ".clap")).string());
    fs::create_directories(dir / "plugins");
    fs::copy_file(fs::path(KREVLO_TEST_PLUGINS) / "scan_fx.clap", files.back());
  }
  const bridge::ScanSpec spec = clapSpec(dir, KREVLO_HELPER);
  std::atomic<bool> cancel{false};
  for (auto _ : state) {
    fs::remove(spec.cacheFile);
    bridge::ScanResult r = bridge::scanInHelpers(spec, files, cancel);
    if (r.entries.size() != files.size() || !r.failed.empty()) state.SkipWithError("a file was not examined");
  }
  state.counters["files/s"] =
      benchmark::Counter(double(state.iterations()) * double(files.size()), benchmark::Counter::kIsRate);
  fs::remove_all(dir.parent_path());
}
BENCHMARK(BM_firstScan64)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace
