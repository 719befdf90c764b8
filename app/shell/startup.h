#pragma once
// The pieces of start-up that touch the real system: where the data lives,
// what the environment asks for, the main queue every thread posts to, and the
// session core with its hosts and MIDI ports.
#include <filesystem>
#include <functional>
#include <memory>

#include "app/shell/bridge_control.h"
#include "app/shell/controller.h"
#include "platform/dispatch/main_queue.h"

namespace bridge {

// ${XDG_DATA_HOME:-$HOME/.local/share}/Quillet; the account's home folder
// stands in for an unset HOME. Any thread.
std::filesystem::path dataFolder();

// The data folder, QUILLET_ORIGINS, QUILLET_APPEARANCE, QUILLET_SNAPSHOT and
// QUILLET_SNAPSHOT_STATE. Any thread.
ShellEnvironment readEnvironment();

// The process's main queue. It is never destroyed, so a thread that posts
// while the program ends never finds it gone. Any thread.
MainQueue& applicationQueue();
// Platform::runOnMain: posts to applicationQueue and returns at once. Any thread.
void runOnMainQueue(std::function<void()> job);

// Raises the soft limit on open descriptors to the hard one, so every accepted
// socket, wake socket and plug-in file fits. Returns the soft limit in force.
// Main thread, at start.
long raiseDescriptorLimit();

// Runs a job on a thread of its own, which nobody waits for. Any thread.
void runDetached(std::function<void()> job);

// Constructs the Bridge and adds the hosts built into this program in format
// order (AU, VST3, CLAP) and the system MIDI ports. Main thread: the CLAP host
// takes it as its main thread.
std::unique_ptr<BridgeControl> assembleBridge(BridgeOptions options, Platform platform);

}  // namespace bridge
