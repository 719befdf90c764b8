#pragma once
// Our own declarations of the VST3 editor view and its frame. Main thread only.
#include "platform/vst3/vst3_base.h"

namespace Steinberg {

struct ViewRect {
  int32 left;
  int32 top;
  int32 right;
  int32 bottom;
  int32 getWidth() const { return right - left; }
  int32 getHeight() const { return bottom - top; }
};

// The platform type of an X11 parent window given to attached().
inline constexpr FIDString kPlatformTypeX11EmbedWindowID = "X11EmbedWindowID";

namespace Vst::ViewType {
inline constexpr FIDString kEditor = "editor";
}  // namespace Vst::ViewType

class IPlugFrame;

class IPlugView : public FUnknown {
 public:
  virtual tresult isPlatformTypeSupported(FIDString type) = 0;
  virtual tresult attached(void* parent, FIDString type) = 0;
  virtual tresult removed() = 0;
  virtual tresult onWheel(float distance) = 0;
  virtual tresult onKeyDown(char16 key, int16 keyCode, int16 modifiers) = 0;
  virtual tresult onKeyUp(char16 key, int16 keyCode, int16 modifiers) = 0;
  virtual tresult getSize(ViewRect* size) = 0;
  virtual tresult onSize(ViewRect* newSize) = 0;
  virtual tresult onFocus(TBool state) = 0;
  virtual tresult setFrame(IPlugFrame* frame) = 0;
  virtual tresult canResize() = 0;
  virtual tresult checkSizeConstraint(ViewRect* rect) = 0;

  static constexpr Uid iid = makeUid(0x5BC32507, 0xD06049EA, 0xA6151B52, 0x2B755B29);
};

class IPlugFrame : public FUnknown {
 public:
  virtual tresult resizeView(IPlugView* view, ViewRect* newSize) = 0;

  static constexpr Uid iid = makeUid(0x367FAF01, 0xAFA94693, 0x8D4DA2A0, 0xED0882A3);
};

static_assert(sizeof(ViewRect) == 16 && alignof(ViewRect) == 4);

}  // namespace Steinberg
