#pragma once
// One loaded .clap file and the process-wide CLAP main-thread record.
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/clap/clap_abi.h"

namespace bridge {

// A loaded CLAP file, always held by shared ownership. It has no clean-up: when
// the last owner lets go, deinit is not called and the code stays loaded for the
// life of the process (plug-ins leave threads and handlers behind).
struct Module {
  const clap_plugin_entry_t* entry = nullptr;
  const clap_plugin_factory_t* factory = nullptr;
};

// Loads the file (dlopen with RTLD_NOW | RTLD_LOCAL), checks "clap_entry", calls
// init(path) and takes the plug-in factory. On failure returns null with `error`
// set to "could not load the plug-in", "not a CLAP plug-in this bridge can use"
// or "the plug-in has no plug-in factory". Loading the same path again calls
// init again; callers that create plug-ins keep their modules by path.
// Thread: the CLAP main thread (the scan command's thread in a helper).
std::shared_ptr<Module> loadModule(const std::string& path, std::string& error);

// The thread that last called makeClapHost or clapScanFile; the CLAP thread
// check compares against it. Written before plug-ins exist, read from any thread.
extern std::atomic<std::thread::id> mainThread;

}  // namespace bridge
