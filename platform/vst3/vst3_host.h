#pragma once
// Our own declarations of what a VST3 host offers its plug-ins as context: the
// host application, which makes messages and attribute lists, and the query of
// which interfaces the host supports. Any thread.
#include "platform/vst3/vst3_base.h"

namespace Steinberg::Vst {

class IHostApplication : public FUnknown {
 public:
  virtual tresult getName(String128 name) = 0;
  // Makes an object of class `cid` (IMessage, IAttributeList) with interface `iid`.
  virtual tresult createInstance(TUID cid, TUID iid, void** obj) = 0;

  static constexpr Uid iid = makeUid(0x58E595CC, 0xDB2D4969, 0x8B6AAF8C, 0x36A664E5);
};

class IPlugInterfaceSupport : public FUnknown {
 public:
  virtual tresult isPlugInterfaceSupported(const TUID iid) = 0;

  static constexpr Uid iid = makeUid(0x4FB58B9E, 0x9EAA4E0F, 0xAB361C1C, 0xCCB56FEA);
};

}  // namespace Steinberg::Vst
