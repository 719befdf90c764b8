#pragma once
// Our own declarations of the VST3 component: IPluginBase, IComponent and its bus
// records. The host calls a component from its main thread.
#include <cstddef>

#include "platform/vst3/vst3_stream.h"

namespace Steinberg {

class IPluginBase : public FUnknown {
 public:
  // `context` is the host application; the object may keep a reference.
  virtual tresult initialize(FUnknown* context) = 0;
  virtual tresult terminate() = 0;

  static constexpr Uid iid = makeUid(0x22888DDB, 0x156E45AE, 0x8358B348, 0x08190625);
};

namespace Vst {

using MediaType = int32;
using BusDirection = int32;
using BusType = int32;
using IoMode = int32;
using TChar = char16;

enum MediaTypes : MediaType { kAudio = 0, kEvent = 1, kNumMediaTypes = 2 };
enum BusDirections : BusDirection { kInput = 0, kOutput = 1 };
enum BusTypes : BusType { kMain = 0, kAux = 1 };
enum IoModes : IoMode { kSimple = 0, kAdvanced = 1, kOfflineProcessing = 2 };

struct BusInfo {
  enum BusFlags : uint32 { kDefaultActive = 1 << 0, kIsControlVoltage = 1 << 1 };

  MediaType mediaType;
  BusDirection direction;
  int32 channelCount;
  String128 name;
  BusType busType;
  uint32 flags;
};

struct RoutingInfo {
  MediaType mediaType;
  int32 busIndex;
  int32 channel;
};

class IComponent : public IPluginBase {
 public:
  virtual tresult getControllerClassId(TUID classId) = 0;
  virtual tresult setIoMode(IoMode mode) = 0;
  virtual int32 getBusCount(MediaType type, BusDirection dir) = 0;
  virtual tresult getBusInfo(MediaType type, BusDirection dir, int32 index, BusInfo& bus) = 0;
  virtual tresult getRoutingInfo(RoutingInfo& inInfo, RoutingInfo& outInfo) = 0;
  virtual tresult activateBus(MediaType type, BusDirection dir, int32 index, TBool state) = 0;
  virtual tresult setActive(TBool state) = 0;
  virtual tresult setState(IBStream* state) = 0;
  virtual tresult getState(IBStream* state) = 0;

  static constexpr Uid iid = makeUid(0xE831FF31, 0xF2D54301, 0x928EBBEE, 0x25697802);
};

static_assert(sizeof(BusInfo) == 276 && alignof(BusInfo) == 4);
static_assert(offsetof(BusInfo, channelCount) == 8 && offsetof(BusInfo, name) == 12 &&
              offsetof(BusInfo, busType) == 268 && offsetof(BusInfo, flags) == 272);
static_assert(sizeof(RoutingInfo) == 12 && alignof(RoutingInfo) == 4);

}  // namespace Vst
}  // namespace Steinberg
