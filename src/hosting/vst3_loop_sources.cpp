#include "hosting/vst3_loop_sources.h"

#include <utility>

#include "hosting/editor_window.h"

namespace bridge {

using namespace Steinberg;

tresult Vst3LoopSources::registerEventHandler(Linux::IEventHandler* handler, Linux::FileDescriptor fd) {
  if (!handler || fd < 0) return kInvalidArgument;
  if (closed_) return kResultFalse;
  uint64_t id = editorAddFd(fd, kFdRead, [this, handler, fd](uint32_t ready) {
    // A descriptor closed behind the loop's back ends its watch; forget it.
    if (ready & kFdGone)
      for (size_t i = 0; i < sources_.size(); ++i)
        if (sources_[i].handler == handler && !sources_[i].timer) {
          sources_.erase(sources_.begin() + static_cast<std::ptrdiff_t>(i));
          break;
        }
    handler->onFDIsSet(fd);
  });
  if (!id) return kResultFalse;
  sources_.push_back({handler, false, id});
  return kResultTrue;
}

tresult Vst3LoopSources::unregisterEventHandler(Linux::IEventHandler* handler) {
  return drop(handler, false) ? kResultTrue : kResultFalse;
}

tresult Vst3LoopSources::registerTimer(Linux::ITimerHandler* handler, Linux::TimerInterval ms) {
  if (!handler) return kInvalidArgument;
  if (closed_) return kResultFalse;
  uint32_t period = ms == 0 ? 1 : (ms > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(ms));
  uint64_t id = editorAddTimer(period, [handler] { handler->onTimer(); });
  if (!id) return kResultFalse;
  sources_.push_back({handler, true, id});
  return kResultTrue;
}

tresult Vst3LoopSources::unregisterTimer(Linux::ITimerHandler* handler) {
  return drop(handler, true) ? kResultTrue : kResultFalse;
}

void Vst3LoopSources::dropAll() {
  auto sources = std::move(sources_);
  sources_.clear();
  for (const auto& s : sources) editorRemove(s.id);
}

void Vst3LoopSources::close() {
  closed_ = true;
  dropAll();
}

bool Vst3LoopSources::drop(const void* handler, bool timer) {
  bool found = false;
  for (size_t i = 0; i < sources_.size();) {
    if (sources_[i].handler == handler && sources_[i].timer == timer) {
      uint64_t id = sources_[i].id;
      sources_.erase(sources_.begin() + static_cast<std::ptrdiff_t>(i));
      editorRemove(id);
      found = true;
    } else {
      ++i;
    }
  }
  return found;
}

}  // namespace bridge
