#pragma once
// Our own declarations of VST3 messages between a component and its separate
// controller: the connection points the host joins, and the messages (with their
// attribute lists) that the host application makes for them. Main thread.
#include "platform/vst3/vst3_base.h"

namespace Steinberg::Vst {

using TChar = char16;

class IAttributeList : public FUnknown {
 public:
  using AttrID = const char*;

  virtual tresult setInt(AttrID id, int64 value) = 0;
  virtual tresult getInt(AttrID id, int64& value) = 0;
  virtual tresult setFloat(AttrID id, double value) = 0;
  virtual tresult getFloat(AttrID id, double& value) = 0;
  virtual tresult setString(AttrID id, const TChar* string) = 0;
  virtual tresult getString(AttrID id, TChar* string, uint32 sizeInBytes) = 0;
  virtual tresult setBinary(AttrID id, const void* data, uint32 sizeInBytes) = 0;
  virtual tresult getBinary(AttrID id, const void*& data, uint32& sizeInBytes) = 0;

  static constexpr Uid iid = makeUid(0x1E5F0AEB, 0xCC7F4533, 0xA2544011, 0x38AD5EE4);
};

class IMessage : public FUnknown {
 public:
  virtual FIDString getMessageID() = 0;
  virtual void setMessageID(FIDString id) = 0;
  // Owned by the message: no reference is added.
  virtual IAttributeList* getAttributes() = 0;

  static constexpr Uid iid = makeUid(0x936F033B, 0xC6C047DB, 0xBB0882F8, 0x13C1E613);
};

class IConnectionPoint : public FUnknown {
 public:
  virtual tresult connect(IConnectionPoint* other) = 0;
  virtual tresult disconnect(IConnectionPoint* other) = 0;
  virtual tresult notify(IMessage* message) = 0;

  static constexpr Uid iid = makeUid(0x70A4156F, 0x6E6E4026, 0x989148BF, 0xAA60D8D1);
};

}  // namespace Steinberg::Vst
