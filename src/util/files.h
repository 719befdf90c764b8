#pragma once
// Whole-file reading and atomic writing. Safe to call from any thread.
#include <filesystem>
#include <string>

namespace bridge {

// The whole file, bytes unchanged; "" when it cannot be opened (or is empty).
std::string readFile(const std::filesystem::path& path);

// Writes `data` to path + ".tmp", then renames it over `path`, so readers see the
// old content or the whole new one. With `privateFile` the temporary file is made
// owner-only (0600) before a byte is written. True only after the rename.
bool writeFile(const std::filesystem::path& path, const std::string& data, bool privateFile);

// Writes all of `data` to an open descriptor, retrying interrupted writes. False
// on any failure, and for fd < 0.
bool writeAll(int fd, const std::string& data);

}  // namespace bridge
