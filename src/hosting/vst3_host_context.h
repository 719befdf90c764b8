#pragma once
// The host context one VST3 plug-in instance is initialised with: it answers
// as the process's host application (name, messages, supported interfaces) and
// also offers the Linux run loop, served by the main loop for the instance's
// whole life, not only while its editor is open. Some plug-ins run their own
// messages on that loop from initialize on and keep relying on it after their
// editor closed.
//
// The instance closes it when it goes: every registration is dropped, later
// ones are refused, and the object itself lives on for as long as the plug-in
// still holds a reference.
//
// Threads: the host application part from any thread; the run loop, and
// close, on the main thread only.
#include "hosting/vst3_loop_sources.h"
#include "platform/vst3/vst3_host.h"
#include "platform/vst3/vst3_object.h"
#include "platform/vst3/vst3_run_loop.h"

namespace bridge {

class Vst3HostContext final
    : public Steinberg::RefCounted<Vst3HostContext, Steinberg::Vst::IHostApplication, Steinberg::Vst::IPlugInterfaceSupport,
                                   Steinberg::Linux::IRunLoop> {
 public:
  // `shared` answers the host application's calls; it must outlive this object.
  explicit Vst3HostContext(Steinberg::FUnknown* shared);

  // IHostApplication
  Steinberg::tresult getName(Steinberg::String128 name) override;
  Steinberg::tresult createInstance(Steinberg::TUID cid, Steinberg::TUID iid, void** obj) override;
  // IPlugInterfaceSupport
  Steinberg::tresult isPlugInterfaceSupported(const Steinberg::TUID iid) override;
  // Linux::IRunLoop
  Steinberg::tresult registerEventHandler(Steinberg::Linux::IEventHandler* handler,
                                          Steinberg::Linux::FileDescriptor fd) override;
  Steinberg::tresult unregisterEventHandler(Steinberg::Linux::IEventHandler* handler) override;
  Steinberg::tresult registerTimer(Steinberg::Linux::ITimerHandler* handler,
                                   Steinberg::Linux::TimerInterval ms) override;
  Steinberg::tresult unregisterTimer(Steinberg::Linux::ITimerHandler* handler) override;

  // What initialize is given: the object as the host application.
  Steinberg::FUnknown* unknown() { return static_cast<Steinberg::Vst::IHostApplication*>(this); }

  // The instance is gone: no handler of it runs again.
  void close() { sources_.close(); }

 private:
  Steinberg::Vst::IHostApplication* app_ = nullptr;
  Steinberg::Vst::IPlugInterfaceSupport* support_ = nullptr;
  Vst3LoopSources sources_;
};

}  // namespace bridge
