// Whatever path a page names inside a place, nothing outside the place is ever
// listed or read: resolution answers a path inside the root or nothing, and a
// listing or read of the unresolved path itself (links and ".." included)
// succeeds only where its real location is inside the root. The fixture holds
// links that lead out, a link that stays in, and ".." tricks.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bridge/places.h"

namespace fs = std::filesystem;

namespace {

struct Fixture {
  fs::path base, root, outside;
  Fixture() {
    base = fs::temp_directory_path() / ("krevlo-places-fuzz-" + std::to_string(::getpid()));
    fs::remove_all(base);
    root = base / "root";
    outside = base / "outside";
    fs::create_directories(root / "sub" / "deep");
    fs::create_directories(outside / "dir");
    std::ofstream(root / "a.wav") << "RIFF-inside";
    std::ofstream(root / "sub" / "b.mp3") << "ID3-inside";
    std::ofstream(root / ".hidden.wav") << "hidden";
    std::ofstream(outside / "secret.wav") << "RIFF-outside";
    std::ofstream(outside / "dir" / "c.flac") << "fLaC-outside";
    fs::create_directory_symlink(outside, root / "out");
    fs::create_directory_symlink("../..", root / "sub" / "up");
    fs::create_symlink(outside / "secret.wav", root / "secret.wav");
    fs::create_symlink("../a.wav", root / "sub" / "same.wav");
    root = fs::canonical(root);
    outside = fs::canonical(outside);
  }
  ~Fixture() { fs::remove_all(base); }
};

const Fixture& fixture() {
  static Fixture f;
  return f;
}

// Our own prefix test, independent of the one under test.
bool within(const fs::path& root, const fs::path& p) {
  const std::string r = root.string(), s = p.string();
  return s == r || (s.size() > r.size() && s.compare(0, r.size(), r) == 0 && s[r.size()] == '/');
}

bool realInside(const fs::path& root, const fs::path& p) {
  std::error_code ec;
  const fs::path real = fs::canonical(p, ec);
  return !ec && within(root, real);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Fixture& f = fixture();
  const std::string relative(reinterpret_cast<const char*>(data), size);

  const fs::path resolved = bridge::resolveInPlace(f.root, relative);
  if (!resolved.empty() && !realInside(f.root, resolved)) std::abort();
  if (!resolved.empty() && !bridge::insideRoot(f.root, resolved)) std::abort();

  // The unresolved path, as a page might hope it is taken.
  if (relative.find('\0') != std::string::npos) return 0;
  const fs::path raw = f.root / relative;
  std::vector<bridge::PlaceEntry> entries;
  for (const fs::path& p : {resolved, raw}) {
    if (p.empty()) continue;
    entries.clear();
    if (bridge::listPlace(f.root, p, entries)) {
      if (!realInside(f.root, p)) std::abort();
      for (const bridge::PlaceEntry& e : entries)
        if (e.name.empty() || e.name.find('/') != std::string::npos || e.name[0] == '.') std::abort();
    }
    std::vector<uint8_t> bytes;
    uint64_t total = 0;
    if (bridge::readPlaceChunk(f.root, p, 0, 64, bytes, total)) {
      if (!realInside(f.root, p)) std::abort();
      if (std::string(bytes.begin(), bytes.end()).find("outside") != std::string::npos) std::abort();
    }
  }
  return 0;
}
