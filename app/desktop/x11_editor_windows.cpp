#include "app/desktop/x11_editor_windows.h"

#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <utility>

#include "app/desktop/gtk_generic_view.h"

namespace bridge {

struct X11EditorWindows::Window {
  X11EditorWindows* owner = nullptr;
  GtkWidget* window = nullptr;
  GtkWidget* content = nullptr;  // holds the size of a window that cannot be resized
  bool resizable = false;
  unsigned long xid = 0;
  gulong deleteHandler = 0;
  std::function<void()> onClose;
};

namespace {

X11EditorWindows::Window* recordOf(ClapWindow* w) { return reinterpret_cast<X11EditorWindows::Window*>(w); }
ClapWindow* handleOf(X11EditorWindows::Window* w) { return reinterpret_cast<ClapWindow*>(w); }

// The window's data that names where views drawn by GTK go.
constexpr const char* kViewParentKey = "krevlo-editor-view-parent";

int clampSize(int v) { return std::clamp(v, 1, 16384); }

void setSize(X11EditorWindows::Window& w, int width, int height) {
  width = clampSize(width);
  height = clampSize(height);
  if (w.resizable) {
    gtk_window_resize(GTK_WINDOW(w.window), width, height);
  } else {
    // A window that cannot be resized is exactly as large as its content.
    gtk_widget_set_size_request(w.content, width, height);
  }
}

struct Timer {
  std::function<void()> fire;
};
struct Watch {
  std::function<void(uint32_t)> ready;
  X11EditorWindows* owner = nullptr;
  uint64_t id = 0;
};

gboolean timerFired(gpointer data) {
  static_cast<Timer*>(data)->fire();
  return G_SOURCE_CONTINUE;
}

gboolean fdReady(gint, GIOCondition condition, gpointer data) {
  uint32_t flags = 0;
  if (condition & (G_IO_IN | G_IO_HUP | G_IO_PRI)) flags |= kFdRead;
  if (condition & G_IO_OUT) flags |= kFdWrite;
  if (condition & (G_IO_ERR | G_IO_NVAL)) flags |= kFdError;
  auto* watch = static_cast<Watch*>(data);
  // A descriptor closed behind the loop's back would be reported forever: the
  // watch ends, and its owner hears so in this last call.
  if (condition & G_IO_NVAL) {
    flags |= kFdGone;
    X11EditorWindows* owner = watch->owner;
    const uint64_t id = watch->id;
    auto ready = std::move(watch->ready);
    owner->remove(id);  // frees the watch
    ready(flags);
    return G_SOURCE_REMOVE;
  }
  watch->ready(flags);
  return G_SOURCE_CONTINUE;
}

}  // namespace

X11EditorWindows::~X11EditorWindows() {
  for (auto& [id, source] : sources_) {
    g_source_destroy(source);
    g_source_unref(source);
  }
  for (Window* w : windows_) {
    if (w->window) gtk_widget_destroy(w->window);
    delete w;
  }
}

unsigned long X11EditorWindows::xid(ClapWindow* window) { return window ? recordOf(window)->xid : 0; }

ClapWindow* X11EditorWindows::clapOpen(const std::string& title, int width, int height, bool resizable,
                                       std::function<bool(void*)> attach, std::function<void()> onClose) {
  auto* w = new Window;
  w->owner = this;
  w->resizable = resizable;
  w->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(w->window), title.c_str());
  gtk_window_set_resizable(GTK_WINDOW(w->window), resizable);
  gtk_window_set_position(GTK_WINDOW(w->window), GTK_WIN_POS_CENTER);
  w->content = gtk_drawing_area_new();
  // Views drawn by GTK itself lie over the content, which keeps the size.
  GtkWidget* overlay = gtk_overlay_new();
  gtk_container_add(GTK_CONTAINER(overlay), w->content);
  gtk_container_add(GTK_CONTAINER(w->window), overlay);
  g_object_set_data(G_OBJECT(w->window), kViewParentKey, overlay);
  if (resizable) {
    gtk_widget_set_size_request(w->content, 1, 1);
    gtk_window_set_default_size(GTK_WINDOW(w->window), clampSize(width), clampSize(height));
  } else {
    setSize(*w, width, height);
  }
  gtk_widget_realize(w->window);
  w->xid = gdk_x11_window_get_xid(gtk_widget_get_window(w->window));
  // The plug-in's child window is made on its own connection: the server must
  // know our window before the plug-in names it as parent.
  gdk_display_sync(gtk_widget_get_display(w->window));

  if (!attach(reinterpret_cast<void*>(static_cast<uintptr_t>(w->xid)))) {
    // The plug-in may have made its child in our window before failing, and
    // destroys it when it lets go: the window goes as after a close.
    retire(w);
    return nullptr;
  }
  w->onClose = std::move(onClose);
  w->deleteHandler = g_signal_connect(w->window, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) {
                                        auto* rec = static_cast<Window*>(data);
                                        rec->owner->userClosed(rec);
                                        return TRUE;
                                      }),
                                      w);
  windows_.insert(w);
  gtk_widget_show_all(w->window);
  clapFocus(handleOf(w));
  return handleOf(w);
}

void X11EditorWindows::clapResize(ClapWindow* window, int width, int height) {
  Window* w = recordOf(window);
  if (!w || !windows_.count(w)) return;
  setSize(*w, width, height);
}

void X11EditorWindows::clapFocus(ClapWindow* window) {
  Window* w = recordOf(window);
  if (!w || !windows_.count(w)) return;
  // Restored when minimised, raised whatever the application's state, focused.
  gtk_window_deiconify(GTK_WINDOW(w->window));
  gtk_window_present_with_time(GTK_WINDOW(w->window), GDK_CURRENT_TIME);
}

void X11EditorWindows::clapClose(ClapWindow* window) {
  Window* w = recordOf(window);
  if (!w || !windows_.count(w)) return;
  w->onClose = nullptr;  // destroyed without being called
  retire(w);
}

void X11EditorWindows::userClosed(Window* w) {
  auto call = std::move(w->onClose);
  w->onClose = nullptr;
  // Hidden first; the plug-in lets go inside onClose; the window goes after.
  retire(w);
  if (call) call();
}

void X11EditorWindows::retire(Window* w) {
  windows_.erase(w);
  if (w->deleteHandler) g_signal_handler_disconnect(w->window, w->deleteHandler);
  w->deleteHandler = 0;
  gtk_widget_hide(w->window);
  g_idle_add_full(
      G_PRIORITY_DEFAULT_IDLE,
      +[](gpointer data) -> gboolean {
        auto* rec = static_cast<Window*>(data);
        gtk_widget_destroy(rec->window);
        delete rec;
        return G_SOURCE_REMOVE;
      },
      w, nullptr);
}

std::unique_ptr<GenericView> X11EditorWindows::genericView(std::vector<GenericViewRow> rows, GenericViewSet set) {
  return std::make_unique<GtkGenericView>(std::move(rows), std::move(set), &X11EditorWindows::placeView);
}

bool X11EditorWindows::placeView(void* parent, GtkWidget* view) {
  GdkWindow* gdk = gdk_x11_window_lookup_for_display(gdk_display_get_default(),
                                                     static_cast<::Window>(reinterpret_cast<uintptr_t>(parent)));
  gpointer widget = nullptr;
  if (gdk) gdk_window_get_user_data(gdk, &widget);
  if (!widget || !GTK_IS_WINDOW(widget)) return false;
  auto* overlay = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(widget), kViewParentKey));
  if (!overlay) return false;
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), view);
  return true;
}

uint64_t X11EditorWindows::addTimer(uint32_t periodMs, std::function<void()> fire) {
  GSource* s = g_timeout_source_new(std::max<uint32_t>(1, periodMs));
  g_source_set_callback(s, timerFired, new Timer{std::move(fire)}, [](gpointer d) { delete static_cast<Timer*>(d); });
  g_source_attach(s, nullptr);
  uint64_t id = nextSource_++;
  sources_[id] = s;
  return id;
}

uint64_t X11EditorWindows::addFd(int fd, uint32_t flags, std::function<void(uint32_t)> ready) {
  int condition = G_IO_ERR | G_IO_HUP;
  if (flags & kFdRead) condition |= G_IO_IN;
  if (flags & kFdWrite) condition |= G_IO_OUT;
  GSource* s = g_unix_fd_source_new(fd, static_cast<GIOCondition>(condition));
  uint64_t id = nextSource_++;
  g_source_set_callback(s, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(fdReady)),
                        new Watch{std::move(ready), this, id}, [](gpointer d) { delete static_cast<Watch*>(d); });
  g_source_attach(s, nullptr);
  sources_[id] = s;
  return id;
}

void X11EditorWindows::remove(uint64_t id) {
  auto it = sources_.find(id);
  if (it == sources_.end()) return;
  // Destroyed sources are never dispatched again, also when removed from
  // inside their own callback.
  g_source_destroy(it->second);
  g_source_unref(it->second);
  sources_.erase(it);
}

}  // namespace bridge
