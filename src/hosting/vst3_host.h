#pragma once
// The Host for VST3 plug-ins: finds .vst3 bundles, has them examined in helper
// processes, and creates instances of the effects they offer.
//
// Threads: scan and problems run on the Bridge's scan thread; create,
// requestRescan and the factory on the main thread. create answers before it
// returns. runOnMain may be called from any thread.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hosting/host.h"

namespace bridge {

// Removes the stale marker "vst3-scanning" in cacheDir. cacheDir holds
// "vst3-cache.json" and the scan work files; the .vst3 entries directly inside
// each of extraDirs are examined besides the standard folders' bundles.
// scanHelper is the helper executable for examination ("" picks the default one).
std::unique_ptr<Host> makeVst3Host(std::filesystem::path cacheDir, std::vector<std::string> extraDirs,
                                   std::string scanHelper = {});
// The same, with the plug-ins' work from other threads (a latency change
// announced there, values the processor reports for an open editor) posted
// through runOnMain.
std::unique_ptr<Host> makeVst3Host(std::filesystem::path cacheDir, std::vector<std::string> extraDirs,
                                   std::function<void(std::function<void()>)> runOnMain,
                                   std::string scanHelper = {});

// The standard VST3 folders, in order: ~/.vst3 (when HOME is set),
// /usr/lib/vst3, /usr/local/lib/vst3. Any thread.
std::vector<std::string> vst3SearchFolders();

// The bundles to examine: every entry named *.vst3 under the standard folders
// (sub-folders searched, never the inside of a bundle), then the *.vst3 entries
// directly inside each extra folder; sorted byte-wise, without duplicates.
// Unreadable folders contribute nothing. Any thread.
std::vector<std::string> findVst3Bundles(const std::vector<std::string>& standardFolders,
                                         const std::vector<std::string>& extraDirs);

}  // namespace bridge
