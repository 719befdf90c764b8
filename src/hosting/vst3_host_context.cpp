#include "hosting/vst3_host_context.h"

namespace bridge {

using namespace Steinberg;

Vst3HostContext::Vst3HostContext(FUnknown* shared) {
  void* obj = nullptr;
  if (shared && shared->queryInterface(Vst::IHostApplication::iid.bytes, &obj) == kResultOk)
    app_ = static_cast<Vst::IHostApplication*>(obj);
  obj = nullptr;
  if (shared && shared->queryInterface(Vst::IPlugInterfaceSupport::iid.bytes, &obj) == kResultOk)
    support_ = static_cast<Vst::IPlugInterfaceSupport*>(obj);
}

tresult Vst3HostContext::getName(String128 name) { return app_ ? app_->getName(name) : kNotImplemented; }

tresult Vst3HostContext::createInstance(TUID cid, TUID iid, void** obj) {
  if (app_) return app_->createInstance(cid, iid, obj);
  if (obj) *obj = nullptr;
  return kNoInterface;
}

tresult Vst3HostContext::isPlugInterfaceSupported(const TUID iid) {
  return support_ ? support_->isPlugInterfaceSupported(iid) : kResultFalse;
}

tresult Vst3HostContext::registerEventHandler(Linux::IEventHandler* handler, Linux::FileDescriptor fd) {
  return sources_.registerEventHandler(handler, fd);
}

tresult Vst3HostContext::unregisterEventHandler(Linux::IEventHandler* handler) {
  return sources_.unregisterEventHandler(handler);
}

tresult Vst3HostContext::registerTimer(Linux::ITimerHandler* handler, Linux::TimerInterval ms) {
  return sources_.registerTimer(handler, ms);
}

tresult Vst3HostContext::unregisterTimer(Linux::ITimerHandler* handler) { return sources_.unregisterTimer(handler); }

}  // namespace bridge
