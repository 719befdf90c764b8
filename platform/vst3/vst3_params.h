#pragma once
// Our own declarations of the VST3 parameter change lists that travel with each
// processed block: one queue of (sample offset, value) points per parameter.
// Both lists belong to the block: the audio thread fills and reads them.
#include "platform/vst3/vst3_base.h"

namespace Steinberg::Vst {

using ParamID = uint32;
using ParamValue = double;  // normalised 0..1

class IParamValueQueue : public FUnknown {
 public:
  virtual ParamID getParameterId() = 0;
  virtual int32 getPointCount() = 0;
  virtual tresult getPoint(int32 index, int32& sampleOffset, ParamValue& value) = 0;
  virtual tresult addPoint(int32 sampleOffset, ParamValue value, int32& index) = 0;

  static constexpr Uid iid = makeUid(0x01263A18, 0xED074F6F, 0x98C9D356, 0x4686F9BA);
};

class IParameterChanges : public FUnknown {
 public:
  virtual int32 getParameterCount() = 0;
  virtual IParamValueQueue* getParameterData(int32 index) = 0;
  // The queue of `id`, made when absent; null when there is no room.
  virtual IParamValueQueue* addParameterData(const ParamID& id, int32& index) = 0;

  static constexpr Uid iid = makeUid(0xA4779663, 0x0BB64A56, 0xB44384A8, 0x466FEB9D);
};

}  // namespace Steinberg::Vst
