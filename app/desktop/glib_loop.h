#pragma once
// The application loop on a display: GLib's default main loop, which GTK and
// the plug-in editors' X11 connections also run on. The main queue is drained
// when its eventfd turns readable; timers and watched descriptors are GLib
// sources.
//
// Threads: post from any thread (it only reaches the MainQueue); everything
// else on the main thread, the one that runs the loop.
#include <glib.h>

#include <functional>
#include <map>
#include <set>

#include "app/shell/event_loop.h"
#include "platform/dispatch/main_queue.h"

namespace bridge {

class GlibLoop : public EventLoop {
 public:
  // The queue must outlive the loop.
  explicit GlibLoop(MainQueue& queue);
  ~GlibLoop() override;
  GlibLoop(const GlibLoop&) = delete;
  GlibLoop& operator=(const GlibLoop&) = delete;

  void post(Job job) override;
  void after(double ms, Job job) override;
  void every(double ms, Job job) override;
  void quit() override;

  // Calls `readable` whenever fd is readable (or hung up, or invalid: the
  // callback finds out by reading). It may unwatch itself.
  void watch(int fd, std::function<void()> readable);
  void unwatch(int fd);

  // Runs until quit.
  void run();
  bool quitting() const { return quit_; }

 private:
  static gboolean queueReady(gint fd, GIOCondition condition, gpointer self);
  static gboolean watchReady(gint fd, GIOCondition condition, gpointer data);

  MainQueue& queue_;
  GMainLoop* loop_ = nullptr;
  guint queueSource_ = 0;
  std::map<int, guint> watches_;
  // The timers of after and every that are still attached, removed with the
  // loop so that none runs a job of a loop that is gone.
  std::set<guint> timers_;
  bool quit_ = false;
};

}  // namespace bridge
