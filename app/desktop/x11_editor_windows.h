#pragma once
// Plug-in editor windows on X11, as GTK toplevels whose X11 window ids the
// plug-ins embed their own child windows in, and the loop services that those
// editors draw by: timers and descriptor watches on the GLib main loop.
//
// A window always goes in two steps: it is hidden at once, and destroyed only
// on a later turn of the loop, after the plug-in let go of it. Destroying an X11
// parent takes its children with it, and a plug-in that then destroys its own
// child would be working on a window that no longer exists.
//
// Threads: main thread only, after openDisplay() succeeded. Install it with
// setEditorWindows while no editor is open; it must outlive every window.
#include <glib.h>
#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "hosting/editor_window.h"

namespace bridge {

class X11EditorWindows : public EditorWindows {
 public:
  X11EditorWindows() = default;
  ~X11EditorWindows() override;
  X11EditorWindows(const X11EditorWindows&) = delete;
  X11EditorWindows& operator=(const X11EditorWindows&) = delete;

  bool clapSupported() override { return true; }
  ClapWindow* clapOpen(const std::string& title, int width, int height, bool resizable,
                       std::function<bool(void*)> attach, std::function<void()> onClose) override;
  void clapResize(ClapWindow* window, int width, int height) override;
  void clapFocus(ClapWindow* window) override;
  void clapClose(ClapWindow* window) override;

  uint64_t addTimer(uint32_t periodMs, std::function<void()> fire) override;
  uint64_t addFd(int fd, uint32_t flags, std::function<void(uint32_t)> ready) override;
  void remove(uint64_t id) override;
  // Drawn by GTK in the editor window itself (gtk_generic_view.h).
  std::unique_ptr<GenericView> genericView(std::vector<GenericViewRow> rows, GenericViewSet set) override;

  // Puts a widget of ours over the content of the window whose native parent
  // `parent` is; false when no window of ours has it.
  static bool placeView(void* parent, GtkWidget* view);

  // For tests: the X11 window id of a window, and how many loop sources live.
  static unsigned long xid(ClapWindow* window);
  size_t sources() const { return sources_.size(); }
  size_t windows() const { return windows_.size(); }

  struct Window;  // a window's record, opaque

 private:
  void userClosed(Window* w);
  void retire(Window* w);

  std::set<Window*> windows_;
  uint64_t nextSource_ = 1;
  std::map<uint64_t, GSource*> sources_;
};

}  // namespace bridge
