#pragma once
// The Host for CLAP plug-ins: finds .clap files, has them examined in helper
// processes, and creates instances of the effects they offer.
//
// Threads: scan and problems run on the Bridge's scan thread; create,
// requestRescan and the factory on the main thread. create answers before it
// returns.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hosting/host.h"

namespace bridge {

// Records the calling thread as the CLAP main thread and removes the stale
// marker "clap-scanning" in cacheDir. cacheDir holds "clap-cache.json" and the
// scan work files; extraDirs are searched after the standard folders; every
// plug-in posts its main-thread work through runOnMain. scanHelper is the
// helper executable for examination ("" picks the default one).
std::unique_ptr<Host> makeClapHost(std::filesystem::path cacheDir, std::vector<std::string> extraDirs,
                                   std::function<void(std::function<void()>)> runOnMain,
                                   std::string scanHelper = {});

// The folders searched for .clap files, in order: ~/.clap (when HOME is set),
// /usr/lib/clap, the parts of CLAP_PATH, then extraDirs. Any thread.
std::vector<std::string> clapSearchFolders(const std::vector<std::string>& extraDirs);

// Every entry named *.clap under the folders (recursively, without following
// links to folders or entering a .clap folder), sorted byte-wise, without
// duplicates. Unreadable folders contribute nothing. Any thread.
std::vector<std::string> findClapFiles(const std::vector<std::string>& folders);

}  // namespace bridge
