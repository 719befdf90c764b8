#pragma once
// SIGINT and SIGTERM as a readable descriptor (a signalfd), so the main loop
// does the shutting down in order and no work runs inside a signal handler.
// Both signals are blocked from construction on, in the constructing thread,
// in every thread it starts later and in the helpers they spawn: a Ctrl-C in
// the terminal reaches the whole process group, and a scan helper killed by
// it would be taken for a plug-in that crashed. The program kills its helpers
// itself when it stops. SIGPIPE is ignored, so a closed output pipe cannot
// kill the program.
//
// Threads: construct first thing on the main thread, before any other thread
// exists; read there. One instance per process.
#include <signal.h>

namespace bridge {

class ShutdownSignals {
 public:
  // Throws std::system_error (with the errno) when no signalfd can be made.
  ShutdownSignals();
  // Restores the signal mask the thread had before.
  ~ShutdownSignals();
  ShutdownSignals(const ShutdownSignals&) = delete;
  ShutdownSignals& operator=(const ShutdownSignals&) = delete;

  // Readable once a signal arrived.
  int fd() const { return fd_; }
  // Takes every waiting signal; returns the last one's number, or 0.
  int take();

 private:
  sigset_t previous_;
  int fd_ = -1;
};

}  // namespace bridge
