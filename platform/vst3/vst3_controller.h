#pragma once
// Our own declarations of the VST3 edit controller, its parameter records and the
// component handler through which it reports edits and restarts. The host calls
// a controller from its main thread; a controller may call its handler from any
// thread.
#include <cstddef>

#include "platform/vst3/vst3_component.h"
#include "platform/vst3/vst3_params.h"
#include "platform/vst3/vst3_view.h"

namespace Steinberg::Vst {

using UnitID = int32;

struct ParameterInfo {
  enum ParameterFlags : int32 {
    kNoFlags = 0,
    kCanAutomate = 1 << 0,
    kIsReadOnly = 1 << 1,
    kIsWrapAround = 1 << 2,
    kIsList = 1 << 3,
    kIsHidden = 1 << 4,
    kIsProgramChange = 1 << 15,
    kIsBypass = 1 << 16,
  };

  ParamID id;
  String128 title;
  String128 shortTitle;
  String128 units;
  int32 stepCount;  // 0: continuous
  ParamValue defaultNormalizedValue;
  UnitID unitId;
  int32 flags;
};

enum RestartFlags : int32 {
  kReloadComponent = 1 << 0,
  kIoChanged = 1 << 1,
  kParamValuesChanged = 1 << 2,
  kLatencyChanged = 1 << 3,
  kParamTitlesChanged = 1 << 4,
  kMidiCCAssignmentChanged = 1 << 5,
  kNoteExpressionChanged = 1 << 6,
  kIoTitlesChanged = 1 << 7,
  kPrefetchableSupportChanged = 1 << 8,
  kRoutingInfoChanged = 1 << 9,
  kKeyswitchChanged = 1 << 10,
  kParamIDMappingChanged = 1 << 11,
};

class IComponentHandler : public FUnknown {
 public:
  virtual tresult beginEdit(ParamID id) = 0;
  virtual tresult performEdit(ParamID id, ParamValue valueNormalized) = 0;
  virtual tresult endEdit(ParamID id) = 0;
  virtual tresult restartComponent(int32 flags) = 0;

  static constexpr Uid iid = makeUid(0x93A0BEA3, 0x0BD045DB, 0x8E890B0C, 0xC1E46AC6);
};

class IEditController : public IPluginBase {
 public:
  virtual tresult setComponentState(IBStream* state) = 0;
  virtual tresult setState(IBStream* state) = 0;
  virtual tresult getState(IBStream* state) = 0;
  virtual int32 getParameterCount() = 0;
  virtual tresult getParameterInfo(int32 paramIndex, ParameterInfo& info) = 0;
  virtual tresult getParamStringByValue(ParamID id, ParamValue valueNormalized, String128 string) = 0;
  virtual tresult getParamValueByString(ParamID id, TChar* string, ParamValue& valueNormalized) = 0;
  virtual ParamValue normalizedParamToPlain(ParamID id, ParamValue valueNormalized) = 0;
  virtual ParamValue plainParamToNormalized(ParamID id, ParamValue plainValue) = 0;
  virtual ParamValue getParamNormalized(ParamID id) = 0;
  virtual tresult setParamNormalized(ParamID id, ParamValue value) = 0;
  virtual tresult setComponentHandler(IComponentHandler* handler) = 0;
  // A new view with one reference, or null.
  virtual IPlugView* createView(FIDString name) = 0;

  static constexpr Uid iid = makeUid(0xDCD7BBE3, 0x7742448D, 0xA874AACC, 0x979C759E);
};

static_assert(sizeof(ParameterInfo) == 792 && alignof(ParameterInfo) == 8);
static_assert(offsetof(ParameterInfo, title) == 4 && offsetof(ParameterInfo, shortTitle) == 260 &&
              offsetof(ParameterInfo, units) == 516 && offsetof(ParameterInfo, stepCount) == 772 &&
              offsetof(ParameterInfo, defaultNormalizedValue) == 776 && offsetof(ParameterInfo, unitId) == 784 &&
              offsetof(ParameterInfo, flags) == 788);

}  // namespace Steinberg::Vst
