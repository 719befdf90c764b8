// A real X11 editor for our CLAP and VST3 test plug-ins, made with Xlib on a
// connection of its own: a child window of the host's window that draws,
// drives itself from a timer and from its connection's descriptor through the
// host's loop services, and can ask the host for a new size. It is active only
// with KREVLO_TEST_X11_EDITOR=1 in the environment, so tests without a display
// can keep handing out made-up parents.
//
// What it saw is read by tests through the exported "krevlo_x11_editor_probe"
// of the plug-in's image (dlopen with RTLD_NOLOAD).
//
// Threads: main thread only, as the hosts call editors.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/clap/clap_ext.h"
#include "platform/clap/clap_loop.h"
#include "platform/vst3/vst3_run_loop.h"
#include "platform/vst3/vst3_view.h"

extern "C" {
struct KrevloX11EditorState {
  int opened;               // editors that made their child window
  int closed;               // editors that destroyed it again
  int timerTicks;           // timer callbacks from the host's loop
  int fdEvents;             // descriptor callbacks from the host's loop
  int exposes;              // Expose events drawn
  unsigned long child;      // the open editor's child window, or 0
  unsigned long parent;     // the parent it was given
  int loopRegistered;       // 1 when both a timer and the descriptor were registered
  int parentGoneAtDestroy;  // the host's window was gone when the editor let go
};
struct KrevloX11EditorProbe {
  void (*state)(KrevloX11EditorState* out);
  // The open editor asks the host for width x height; false when refused.
  bool (*askResize)(int width, int height);
};
typedef const KrevloX11EditorProbe* (*KrevloX11EditorProbeFn)(void);
}

namespace krevlo_test {

// The X11 side, shared by both formats. One editor per process is enough for
// the tests: the last one opened is the one the probe acts on.
class X11Editor {
 public:
  static bool enabled();
  // Makes and maps the child window; false on any failure.
  bool open(unsigned long parent, int width, int height);
  void close();
  bool isOpen() const;
  int fd() const;
  void onTimer();
  void onFd();
  void resized(int width, int height);
  // How the format's glue asks its host for a new size.
  std::function<bool(int, int)> askResize;

 private:
  void draw();
  void* display_ = nullptr;
  unsigned long window_ = 0;
  unsigned long parent_ = 0;
  int width_ = 0, height_ = 0;
};

// The one editor of the process, for glue that passes on the sizes its host gives.
X11Editor& x11Editor();

// The CLAP glue: what clap.gui's set_parent and destroy do, and the plug-in's
// timer and descriptor extensions.
class ClapX11Editor {
 public:
  bool setParent(const clap_host_t* host, unsigned long parent, uint32_t width, uint32_t height);
  void destroy();
  static const clap_plugin_timer_support_t timerExtension;
  static const clap_plugin_posix_fd_support_t fdExtension;

 private:
  const clap_host_t* host_ = nullptr;
  clap_id timer_ = 0;
  int fd_ = -1;
};
ClapX11Editor& clapEditor();

// The VST3 glue: what the view's attached and removed do, with the handlers
// registered on the frame's run loop.
class Vst3X11Editor : public Steinberg::Linux::IEventHandler, public Steinberg::Linux::ITimerHandler {
 public:
  bool attached(Steinberg::IPlugView* view, Steinberg::IPlugFrame* frame, void* parent, int width, int height);
  void removed();

  Steinberg::tresult queryInterface(const Steinberg::TUID iid, void** obj) override;
  Steinberg::uint32 addRef() override { return 1000; }
  Steinberg::uint32 release() override { return 1000; }
  void onFDIsSet(Steinberg::Linux::FileDescriptor fd) override;
  void onTimer() override;

 private:
  Steinberg::Linux::IRunLoop* loop_ = nullptr;
};

}  // namespace krevlo_test
