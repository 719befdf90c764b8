#include "util/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <system_error>

namespace bridge {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool writeAll(int fd, const std::string& data) {
  if (fd < 0) return false;
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

bool writeFile(const std::filesystem::path& path, const std::string& data, bool privateFile) {
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);

  const std::string tmp = path.string() + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, privateFile ? 0600 : 0666);
  if (fd < 0) return false;
  // A leftover temporary file keeps its old mode through O_CREAT, so the mode is
  // forced here, before any secret reaches the file.
  if (privateFile && ::fchmod(fd, 0600) != 0) {
    ::close(fd);
    return false;
  }
  bool ok = writeAll(fd, data);
  if (::close(fd) != 0) ok = false;
  if (!ok) return false;
  return ::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace bridge
