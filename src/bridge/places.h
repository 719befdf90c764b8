#pragma once
// Folders that the user granted to the browser, and the file-system rules that
// keep every listing and read inside them. The functions never throw and hold no
// state; any thread (the Bridge calls them on the main thread).
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace bridge {

struct Place {
  std::string id;    // 12 lower-case hex characters
  std::string name;  // last component of `path`, or the whole path for "/"
  std::string path;  // canonical folder path
};

// One visible item of a listing.
struct PlaceEntry {
  std::string name;
  bool isDir = false;
  uint64_t size = 0;  // bytes; 0 for folders
};

inline constexpr size_t kMaxPlaceEntries = 5000;
inline constexpr uint64_t kMaxPlaceFileBytes = uint64_t{1} << 31;
inline constexpr size_t kMaxPlaceChunk = size_t{4} << 20;
inline constexpr size_t kMaxPlaceRelative = 4096;

// The file name's extension, from its last ".", is one of the audio ones, in any
// letter case. A name whose only "." is its first character has none.
bool isAudioFile(const std::filesystem::path& path);

// `candidate` is `root` or lies below it, component by component ("/a/bc" is not
// inside "/a/b"). An empty root holds nothing.
bool insideRoot(const std::filesystem::path& root, const std::filesystem::path& candidate);

// The canonical path of `relative` inside the place, or an empty path when it is
// refused: longer than 4096 bytes (never cut, which could name another file),
// holding a NUL byte, absolute, with a component that starts with ".", missing,
// or resolving outside the place.
std::filesystem::path resolveInPlace(const std::filesystem::path& place, const std::string& relative);

// The visible folders and audio files of `folder`, at most 5000, folders first,
// each group in byte order. False when the folder cannot be opened or what was
// opened is not a folder inside the place.
bool listPlace(const std::filesystem::path& place, const std::filesystem::path& folder,
               std::vector<PlaceEntry>& entries);

// Up to `maxChunk` bytes of the audio file from `offset`, and its size. The file
// is opened without blocking and checked after opening to be a regular audio
// file inside the place, so a FIFO or a link swapped in after resolveInPlace
// neither stalls the caller nor leads out. False for files over 2 GiB, an offset
// past the end, or a short read.
bool readPlaceChunk(const std::filesystem::path& place, const std::filesystem::path& file, uint64_t offset,
                    size_t maxChunk, std::vector<uint8_t>& data, uint64_t& size);

}  // namespace bridge
