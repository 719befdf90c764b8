#pragma once
// The Linux run loop that VST3 plug-ins are offered, served by the main loop's
// timers and descriptor watches (editor_window.h). One object per owner: an
// editor's frame, or a plug-in instance's host context. Its registrations end
// with the owner: close() drops them all and refuses new ones, so no handler of
// a plug-in that let go is called again.
//
// Threads: main thread only, handlers included.
#include <cstdint>
#include <vector>

#include "platform/vst3/vst3_run_loop.h"

namespace bridge {

class Vst3LoopSources {
 public:
  Vst3LoopSources() = default;
  ~Vst3LoopSources() { dropAll(); }
  Vst3LoopSources(const Vst3LoopSources&) = delete;
  Vst3LoopSources& operator=(const Vst3LoopSources&) = delete;

  // The IRunLoop operations, with its answers.
  Steinberg::tresult registerEventHandler(Steinberg::Linux::IEventHandler* handler, Steinberg::Linux::FileDescriptor fd);
  Steinberg::tresult unregisterEventHandler(Steinberg::Linux::IEventHandler* handler);
  Steinberg::tresult registerTimer(Steinberg::Linux::ITimerHandler* handler, Steinberg::Linux::TimerInterval ms);
  Steinberg::tresult unregisterTimer(Steinberg::Linux::ITimerHandler* handler);

  // Stops every handler; later registrations are still served.
  void dropAll();
  // Stops every handler and refuses any later registration.
  void close();
  size_t size() const { return sources_.size(); }

 private:
  struct Source {
    const void* handler;
    bool timer;
    uint64_t id;
  };
  // Every registration of `handler` of the one kind.
  bool drop(const void* handler, bool timer);

  std::vector<Source> sources_;
  bool closed_ = false;
};

}  // namespace bridge
