#pragma once
// The Host for Audio Unit effects: lists the effect components that the Audio
// Unit registry knows and creates instances through it, first out of process
// and, when that fails, once more in process.
//
// Threads: scan runs on the Bridge's scan thread, create on the main thread.
// create returns at once; `done` runs later on the Audio Unit layer's
// completion thread (at once, on the calling thread, for a malformed id).
#include <functional>
#include <memory>

#include "hosting/host.h"

namespace bridge {

// `runOnMain` carries the plug-ins' editor work to the main thread.
std::unique_ptr<Host> makeAuHost(std::function<void(std::function<void()>)> runOnMain);

}  // namespace bridge
