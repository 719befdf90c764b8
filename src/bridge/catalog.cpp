// The plug-in catalog: the scan thread, the merge on the main thread, "plugins",
// hidden formats and the lookups of chain building.
#include <algorithm>
#include <exception>

#include "bridge/bridge.h"

namespace bridge {

void Bridge::startScan() {
  if (scanning || hosts.empty()) return;
  // The last scan's thread has posted its last result; the join returns at once.
  if (scanThread.joinable()) scanThread.join();
  scanning = true;
  scanStop.exchange(false);
  scanThread = std::thread([this, weak = aliveWeak] {
    try {
      scanThreadMain(weak);
    } catch (const std::exception&) {
      // Out of memory mid-scan: this scan ends with what it posted.
    }
  });
}

// Scan thread: calls the hosts and posts; touches no catalog state.
void Bridge::scanThreadMain(std::weak_ptr<bool> weak) {
  for (size_t i = 0; i < hosts.size() && !scanStop.load(); ++i) {
    Host& host = *hosts[i];
    std::vector<PluginInfo> entries = host.scan(scanStop);
    if (scanStop.load()) return;
    bool last = i + 1 == hosts.size();
    platform.runOnMain(
        [this, weak, format = host.format(), entries = std::move(entries), problems = host.problems(), last]() mutable {
          auto alive = weak.lock();
          if (!alive || !*alive) return;
          mergeScan(format, std::move(entries), std::move(problems), last);
        });
  }
}

void Bridge::mergeScan(const std::string& format, std::vector<PluginInfo> entries, std::vector<std::string> problems,
                       bool last) {
  scanProblems[format] = std::move(problems);
  std::erase_if(catalog, [&](const PluginInfo& p) { return p.format == format; });
  catalog.insert(catalog.end(), std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
  std::sort(catalog.begin(), catalog.end(), [](const PluginInfo& a, const PluginInfo& b) {
    if (a.vendor != b.vendor) return a.vendor < b.vendor;
    return a.name < b.name;
  });
  if (last) scanning = false;
  publishCatalog();
}

void Bridge::publishCatalog() {
  // Copied first: sending and rebuilding must not depend on the map staying put.
  std::vector<std::shared_ptr<Session>> ready;
  for (auto& [id, session] : sessions)
    if (session->ready) ready.push_back(session);
  for (auto& session : ready) {
    sendPlugins(*session);
    std::vector<std::string> names;
    for (auto& [name, track] : session->tracks) names.push_back(name);
    for (auto& name : names) {
      try {
        applyChain(session, name);
      } catch (const std::exception&) {
        // A chain whose worker could not start: the other tracks still get theirs.
      }
    }
  }
  notifyChanged();
}

void Bridge::sendPlugins(const Session& session) const {
  Json list = Json::array();
  for (const PluginInfo& p : catalog) {
    if (hiddenFormats.count(p.format)) continue;
    list.push_back(Json{{"id", p.id},
                        {"format", p.format},
                        {"name", p.name},
                        {"vendor", p.vendor},
                        {"version", p.version},
                        {"category", p.category},
                        {"tags", p.tags}});
  }
  send(session, Json{{"t", "plugins"}, {"list", std::move(list)}, {"scanning", scanning}});
}

const PluginInfo* Bridge::findPlugin(const std::string& id) const {
  for (const PluginInfo& p : catalog)
    if (p.id == id) return &p;
  return nullptr;
}

Host* Bridge::hostFor(const std::string& id) const {
  std::string prefix = id.substr(0, id.find(':'));
  for (const auto& host : hosts)
    if (host->format() == prefix) return host.get();
  return nullptr;
}

std::vector<std::string> Bridge::formats() const {
  std::vector<std::string> names;
  for (const auto& host : hosts) names.push_back(host->format());
  return names;
}

void Bridge::rescan() {
  for (auto& host : hosts) host->requestRescan();
  startScan();
  notifyChanged();
}

void Bridge::setFormatShown(const std::string& format, bool shown) {
  bool hidden = hiddenFormats.count(format) > 0;
  if (shown != hidden) return;
  if (shown)
    hiddenFormats.erase(format);
  else
    hiddenFormats.insert(format);
  if (!saveState().settings) {
    // Keep the switch as the file has it.
    if (shown)
      hiddenFormats.insert(format);
    else
      hiddenFormats.erase(format);
    notifyChanged();
    return;
  }
  for (auto& [id, session] : sessions)
    if (session->ready) sendPlugins(*session);
  notifyChanged();
}

}  // namespace bridge
