// Places: the file-system rules, and "places", "list", "read", "addPlace" and
// "removePlace".
#include "bridge/places.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string_view>

#include "bridge/bridge.h"
#include "bridge/protocol.h"
#include "util/encoding.h"

namespace bridge {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr std::array<std::string_view, 9> kAudioExtensions{".wav", ".wave", ".aif", ".aiff", ".mp3",
                                                           ".flac", ".ogg",  ".opus", ".m4a"};

const char* const kNoPlace = "That folder isn't in Krevlo Bridge's Places any more.";
const char* const kFolderUnreadable = "Krevlo Bridge can't open that folder.";
const char* const kFileUnreadable = "Krevlo Bridge can't read that file.";
const char* const kNoPicker = "This Krevlo Bridge can't show a folder dialog.";

// Closes a descriptor on every path out.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

// Where an open descriptor really is, whatever its path led through when it was
// opened; empty when the system cannot say.
fs::path openedPath(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  std::vector<char> buffer(PATH_MAX + 1);
  ssize_t n = ::readlink(link, buffer.data(), buffer.size());
  if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return {};
  return fs::path(std::string(buffer.data(), static_cast<size_t>(n)));
}

// The "req" of a request when it is an integer of either sign; null otherwise.
Json requestReq(const Json& request) {
  if (!request.is_object()) return nullptr;
  auto it = request.find("req");
  if (it == request.end() || !it->is_number_integer()) return nullptr;
  return *it;
}

}  // namespace

bool isAudioFile(const fs::path& path) {
  const std::string name = path.filename().string();
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  std::string ext = name.substr(dot);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return std::find(kAudioExtensions.begin(), kAudioExtensions.end(), ext) != kAudioExtensions.end();
}

bool insideRoot(const fs::path& root, const fs::path& candidate) {
  if (root.empty()) return false;
  auto c = candidate.begin();
  for (auto r = root.begin(); r != root.end(); ++r, ++c)
    if (c == candidate.end() || *r != *c) return false;
  return true;
}

fs::path resolveInPlace(const fs::path& place, const std::string& relative) {
  std::error_code ec;
  const fs::path root = fs::canonical(place, ec);
  if (ec) return {};
  if (relative.size() > kMaxPlaceRelative) return {};
  // The system's calls stop at a NUL: "a.txt\0.wav" would open a.txt.
  if (relative.find('\0') != std::string::npos) return {};
  if (fs::path(relative).has_root_path()) return {};
  fs::path joined = root;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string component = relative.substr(start, end - start);
    start = end + 1;
    if (component.empty()) continue;
    if (component[0] == '.') return {};
    joined /= component;
  }
  fs::path result = fs::canonical(joined, ec);
  if (ec || !insideRoot(root, result)) return {};
  return result;
}

bool listPlace(const fs::path& place, const fs::path& folder, std::vector<PlaceEntry>& entries) {
  entries.clear();
  std::error_code ec;
  const fs::path root = fs::canonical(place, ec);
  if (ec) return false;
  // O_DIRECTORY refuses a FIFO before it is opened, so nothing here can block.
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const fs::path opened = openedPath(fd);
  if (opened.empty() || !insideRoot(root, opened)) {
    ::close(fd);
    return false;
  }
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return false;
  }
  while (entries.size() < kMaxPlaceEntries) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (!entry) break;  // the end, or an error: what was collected stays
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    const fs::path canonical = fs::canonical(opened / name, ec);
    if (ec || !insideRoot(root, canonical)) continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), name.c_str(), &st, 0) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      entries.push_back({name, true, 0});
    } else if (S_ISREG(st.st_mode) && isAudioFile(name) && st.st_size >= 0 &&
               static_cast<uint64_t>(st.st_size) <= kMaxPlaceFileBytes) {
      entries.push_back({name, false, static_cast<uint64_t>(st.st_size)});
    }
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end(), [](const PlaceEntry& a, const PlaceEntry& b) {
    if (a.isDir != b.isDir) return a.isDir;
    return a.name < b.name;
  });
  return true;
}

bool readPlaceChunk(const fs::path& place, const fs::path& file, uint64_t offset, size_t maxChunk,
                    std::vector<uint8_t>& data, uint64_t& size) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !isAudioFile(file)) return false;
  size = static_cast<uint64_t>(st.st_size);
  if (size > kMaxPlaceFileBytes || size < offset) return false;
  std::error_code ec;
  const fs::path root = fs::canonical(place, ec);
  if (ec) return false;
  // Without O_NONBLOCK a FIFO swapped in for the file would hold the main thread
  // until some writer came along.
  Fd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.fd < 0) return false;
  struct stat opened {};
  if (::fstat(fd.fd, &opened) != 0 || !S_ISREG(opened.st_mode)) return false;
  const fs::path where = openedPath(fd.fd);
  if (where.empty() || !insideRoot(root, where) || !isAudioFile(where)) return false;
  // From here on the figures are those of the file actually open.
  size = static_cast<uint64_t>(opened.st_size);
  if (size > kMaxPlaceFileBytes || size < offset) return false;
  const size_t length = static_cast<size_t>(std::min<uint64_t>(size - offset, maxChunk));
  data.resize(length);
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd.fd, data.data() + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (done != length) {
    data.clear();
    return false;
  }
  return true;
}

nlohmann::json Bridge::placesMessage() const {
  Json list = Json::array();
  for (const Place& p : places) list.push_back(Json{{"id", p.id}, {"name", p.name}});
  return Json{{"t", "places"}, {"list", std::move(list)}, {"canAdd", static_cast<bool>(platform.pickFolder)}};
}

void Bridge::sendPlaces() {
  Json message = placesMessage();
  for (auto& [id, session] : sessions)
    if (session->ready) send(*session, message);
}

void Bridge::sendPlacesError(const Session& session, const std::string& t, const Json& request,
                             const std::string& errorCode, const std::string& message) const {
  Json reply{{"t", "error"}, {"code", errorCode}, {"for", t}, {"message", message}};
  if (Json req = requestReq(request); !req.is_null()) reply["req"] = std::move(req);
  send(session, reply);
}

bool Bridge::handlePlaces(const std::shared_ptr<Session>& session, const std::string& t, const Json& request) {
  if (t == "places") {
    send(*session, placesMessage());
    return true;
  }
  if (t == "list" || t == "read") {
    const std::string placeId = readString(request, "place", kMaxPlace);
    // A longer path is refused whole: cut, it could name another item.
    auto raw = request.find("path");
    const bool tooLong = raw != request.end() && raw->is_string() && raw->get_ref<const std::string&>().size() > kMaxPath;
    const std::string path = readString(request, "path", kMaxPath);
    const Place* place = nullptr;
    for (const Place& p : places)
      if (p.id == placeId) {
        place = &p;
        break;
      }
    if (!place) {
      sendPlacesError(*session, t, request, "no-place", kNoPlace);
      return true;
    }
    const fs::path resolved = tooLong ? fs::path() : resolveInPlace(place->path, path);
    if (resolved.empty()) {
      sendPlacesError(*session, t, request, "not-found", "Krevlo Bridge can't find that in " + place->name + ".");
      return true;
    }
    Json req = requestReq(request);
    if (req.is_null()) req = 0;
    if (t == "list") {
      std::vector<PlaceEntry> entries;
      if (!listPlace(place->path, resolved, entries)) {
        sendPlacesError(*session, t, request, "unreadable", kFolderUnreadable);
        return true;
      }
      Json list = Json::array();
      for (const PlaceEntry& e : entries) {
        if (e.isDir)
          list.push_back(Json{{"name", e.name}, {"dir", true}});
        else
          list.push_back(Json{{"name", e.name}, {"size", e.size}});
      }
      send(*session, Json{{"t", "listing"}, {"req", req}, {"place", placeId}, {"path", path}, {"entries", list}});
      return true;
    }
    const double offset = readNumber(request, "offset", 0.0);
    std::vector<uint8_t> data;
    uint64_t size = 0;
    if (!(offset >= 0.0 && offset <= static_cast<double>(kMaxPlaceFileBytes)) ||
        !readPlaceChunk(place->path, resolved, static_cast<uint64_t>(offset), kMaxPlaceChunk, data, size)) {
      sendPlacesError(*session, t, request, "unreadable", kFileUnreadable);
      return true;
    }
    send(*session, Json{{"t", "file"},
                        {"req", req},
                        {"offset", static_cast<uint64_t>(offset)},
                        {"size", size},
                        {"data", base64Encode(data.data(), data.size())}});
    return true;
  }
  if (t == "addPlace") {
    if (!platform.pickFolder) {
      sendPlacesError(*session, t, request, "unsupported", kNoPicker);
      return true;
    }
    platform.pickFolder([this, weakSession = std::weak_ptr<Session>(session), weak = aliveWeak](std::string folder) {
      auto flag = weak.lock();
      if (!flag || !*flag) return;
      std::string added;
      if (!folder.empty()) added = addPlace(folder);
      Json message = placesMessage();
      if (!added.empty()) message["added"] = added;
      if (auto s = weakSession.lock()) send(*s, message);
    });
    return true;
  }
  if (t == "removePlace") {
    removePlace(readString(request, "place", kMaxPlace));
    return true;
  }
  return false;
}

std::string Bridge::addPlace(const std::string& folder) {
  std::error_code ec;
  const fs::path canonical = fs::canonical(folder, ec);
  if (ec || !fs::is_directory(canonical, ec)) return "";
  for (const Place& p : places)
    if (fs::path(p.path) == canonical) return p.id;
  Place place;
  // Ids must stay apart: a clash would make one place unreachable.
  for (int attempt = 0; attempt < 8 && place.id.empty(); ++attempt) {
    place.id = randomHex(6);
    for (const Place& p : places)
      if (p.id == place.id) place.id.clear();
  }
  if (place.id.empty()) return "";
  place.name = canonical.filename().string();
  if (place.name.empty()) place.name = canonical.string();
  place.path = canonical.string();
  const std::string id = place.id;
  std::vector<Place> before = places;
  places.push_back(std::move(place));
  std::sort(places.begin(), places.end(), [](const Place& a, const Place& b) { return a.name < b.name; });
  if (!saveState().settings) {
    // Not granted unless it survives a restart.
    places = std::move(before);
    return "";
  }
  sendPlaces();
  return id;
}

void Bridge::removePlace(const std::string& id) {
  std::vector<Place> before = places;
  std::erase_if(places, [&](const Place& p) { return p.id == id; });
  if (places.size() == before.size()) return;
  if (!saveState().settings) {
    // The file still grants it; say so rather than let it come back at the next start.
    places = std::move(before);
    return;
  }
  sendPlaces();
}

}  // namespace bridge
