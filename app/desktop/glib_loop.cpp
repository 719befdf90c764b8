#include "app/desktop/glib_loop.h"

#include <glib-unix.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

namespace bridge {

namespace {

struct TimerJob {
  EventLoop::Job job;
  bool repeat = false;
  std::set<guint>* timers = nullptr;
  guint id = 0;
};

gboolean timerFired(gpointer data) {
  auto* t = static_cast<TimerJob*>(data);
  if (!t->repeat) t->timers->erase(t->id);
  t->job();
  return t->repeat ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void timerFree(gpointer data) { delete static_cast<TimerJob*>(data); }

guint milliseconds(double ms) {
  if (!(ms > 0.0)) return 0;
  return static_cast<guint>(std::min(std::ceil(ms), 86400000.0));
}

struct Watch {
  std::function<void()> readable;
};

void watchFree(gpointer data) { delete static_cast<Watch*>(data); }

}  // namespace

GlibLoop::GlibLoop(MainQueue& queue) : queue_(queue), loop_(g_main_loop_new(nullptr, FALSE)) {
  queueSource_ = g_unix_fd_add(queue_.fd(), G_IO_IN, &GlibLoop::queueReady, this);
}

GlibLoop::~GlibLoop() {
  for (guint id : timers_) g_source_remove(id);
  for (const auto& [fd, id] : watches_) g_source_remove(id);
  if (queueSource_) g_source_remove(queueSource_);
  g_main_loop_unref(loop_);
}

gboolean GlibLoop::queueReady(gint, GIOCondition, gpointer data) {
  auto* self = static_cast<GlibLoop*>(data);
  // Only the jobs waiting now: jobs they post run on the next turn, so a job
  // that keeps posting cannot starve drawing, timers and the other sources.
  size_t waiting = self->queue_.pending();
  for (size_t i = 0; i < waiting && !self->quit_; ++i)
    if (!self->queue_.runOne()) break;
  // Clears the eventfd once the queue is empty, so the source goes quiet.
  if (self->queue_.pending() == 0) self->queue_.runOne();
  return G_SOURCE_CONTINUE;
}

void GlibLoop::post(Job job) { queue_.post(std::move(job)); }

void GlibLoop::after(double ms, Job job) {
  auto* t = new TimerJob{std::move(job), false, &timers_};
  t->id = g_timeout_add_full(G_PRIORITY_DEFAULT, milliseconds(ms), timerFired, t, timerFree);
  timers_.insert(t->id);
}

void GlibLoop::every(double ms, Job job) {
  auto* t = new TimerJob{std::move(job), true, &timers_};
  t->id = g_timeout_add_full(G_PRIORITY_DEFAULT, std::max(1u, milliseconds(ms)), timerFired, t, timerFree);
  timers_.insert(t->id);
}

void GlibLoop::quit() {
  quit_ = true;
  g_main_loop_quit(loop_);
}

gboolean GlibLoop::watchReady(gint, GIOCondition, gpointer data) {
  // A copy: the callback may unwatch (and so free) its own record.
  auto readable = static_cast<Watch*>(data)->readable;
  readable();
  return G_SOURCE_CONTINUE;
}

void GlibLoop::watch(int fd, std::function<void()> readable) {
  unwatch(fd);
  guint id = g_unix_fd_add_full(G_PRIORITY_DEFAULT, fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                &GlibLoop::watchReady, new Watch{std::move(readable)}, watchFree);
  watches_[fd] = id;
}

void GlibLoop::unwatch(int fd) {
  auto it = watches_.find(fd);
  if (it == watches_.end()) return;
  g_source_remove(it->second);
  watches_.erase(it);
}

void GlibLoop::run() {
  if (!quit_) g_main_loop_run(loop_);
}

}  // namespace bridge
