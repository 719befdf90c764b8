// What the vst3_views test bundle records, read by tests through the exported
// function "krevlo_vst3_views_probe" of the same loaded image (dlopen of the
// same file with RTLD_NOLOAD). Every copy of the bundle records on its own.
#pragma once

#include <cstdint>

// Class ids: the words 'KRV3', 0x56570000 + kind, 0x01020304, 0x0A0B0C0D. Both
// are stereo pass-through effects without parameters, with a resizable editor.
enum class Vst3ViewsKind : uint32_t {
  // Its view reports a small size, then asks its frame for kAttachWidth x
  // kAttachHeight from inside attached and makes its child window with the
  // size that onSize gave it (none: 0 x 0), as some editor toolkits do.
  AttachResize = 1,
  // At initialize it registers a timer on the host application's run loop and
  // never unregisters it, as a plug-in whose messages run on that loop for its
  // whole life does.
  HostLoop = 2,
  // Its attached makes its child window in the parent, then fails; the view
  // destroys that child only when it is freed.
  FailAttach = 3,
};

inline constexpr int kAttachWidth = 360;
inline constexpr int kAttachHeight = 240;
// checkSizeConstraint rounds each side up to a multiple of kSizeStep, at least
// kMinWidth x kMinHeight.
inline constexpr int kSizeStep = 20;
inline constexpr int kMinWidth = 200;
inline constexpr int kMinHeight = 100;

struct Vst3ViewsState {
  int live;             // live components and views
  int onSizeCalls;
  int width, height;    // the last size onSize gave, 0 x 0 before any
  int constraintCalls;  // checkSizeConstraint calls
  int loopTimer;        // HostLoop: 1 when its timer was registered at initialize
  int ticks;            // HostLoop: its timer's calls
};

struct Vst3ViewsProbe {
  void (*state)(Vst3ViewsState* out);
};

using Vst3ViewsProbeFn = const Vst3ViewsProbe* (*)();
