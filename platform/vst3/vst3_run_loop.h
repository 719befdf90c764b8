#pragma once
// Our own declarations of the Linux run loop that a VST3 editor asks its frame
// for: the host serves its descriptors and timers on the main loop, since an
// embedded X11 editor has no loop of its own. Main thread only.
#include "platform/vst3/vst3_base.h"

namespace Steinberg::Linux {

using FileDescriptor = int;
using TimerInterval = uint64;  // milliseconds

class IEventHandler : public FUnknown {
 public:
  virtual void onFDIsSet(FileDescriptor fd) = 0;

  static constexpr Uid iid = makeUid(0x561E65C9, 0x13A0496F, 0x813A2C35, 0x654D7983);
};

class ITimerHandler : public FUnknown {
 public:
  virtual void onTimer() = 0;

  static constexpr Uid iid = makeUid(0x10BDD94F, 0x41424774, 0x821FAD8F, 0xECA72CA9);
};

class IRunLoop : public FUnknown {
 public:
  virtual tresult registerEventHandler(IEventHandler* handler, FileDescriptor fd) = 0;
  virtual tresult unregisterEventHandler(IEventHandler* handler) = 0;
  virtual tresult registerTimer(ITimerHandler* handler, TimerInterval milliseconds) = 0;
  virtual tresult unregisterTimer(ITimerHandler* handler) = 0;

  static constexpr Uid iid = makeUid(0x18C35366, 0x97764F1A, 0x9C5B8385, 0x7A871389);
};

static_assert(sizeof(IRunLoop) == sizeof(void*));

}  // namespace Steinberg::Linux
