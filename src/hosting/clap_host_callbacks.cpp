// The clap_host record of every ClapPlugin and the host extensions behind it.
//
// A plug-in may call any of these from any thread. Only log, the thread checks
// and mark_dirty act on the calling thread; everything that touches the plug-in
// object is posted to the main thread with onMain and dropped once the object is
// gone. The extension tables are shared by every instance.
#include <cstdio>
#include <cstring>
#include <thread>

#include "hosting/clap_plugin.h"
#include "hosting/editor_window.h"
#include "platform/clap/clap_loop.h"

namespace bridge {

namespace {

constexpr const char* kHostName = "Krevlo Bridge";
constexpr const char* kHostVersion = "0.1.128";

thread_local bool audioThreadMark = false;
thread_local int audioScopes = 0;

}  // namespace

void markClapAudioThread() { audioThreadMark = true; }
bool isClapAudioThread() { return audioThreadMark || audioScopes > 0; }

ClapAudioScope::ClapAudioScope() { ++audioScopes; }
ClapAudioScope::~ClapAudioScope() { --audioScopes; }

struct ClapPlugin::Callbacks {
  static ClapPlugin* self(const clap_host_t* host) {
    return host ? static_cast<ClapPlugin*>(host->host_data) : nullptr;
  }

  // Plug-ins that misbehave may call with a null host.
  static void post(const clap_host_t* host, std::function<void(ClapPlugin&)> fn) {
    if (ClapPlugin* p = self(host)) p->onMain(std::move(fn));
  }

  static void requestRestart(const clap_host_t* host) {
    if (ClapPlugin* p = self(host)) p->request(kWantRestart);
  }
  static void requestProcess(const clap_host_t*) {}
  static void requestCallback(const clap_host_t* host) {
    if (ClapPlugin* p = self(host)) p->request(kWantCallback);
  }

  static void log(const clap_host_t* host, clap_log_severity severity, const char* message) {
    if (severity <= CLAP_LOG_INFO) return;
    // The audio thread must not wait for stderr: its lines are printed on main.
    ClapPlugin* p = self(host);
    if (p && std::this_thread::get_id() != mainThread.load() && isClapAudioThread()) {
      p->queueLog(severity, message);
      return;
    }
    std::fprintf(stderr, "[clap] %s\n", message ? message : "");
  }

  static bool isMainThread(const clap_host_t*) { return std::this_thread::get_id() == mainThread.load(); }
  static bool isAudioThread(const clap_host_t*) { return isClapAudioThread(); }

  static void paramsRescan(const clap_host_t*, clap_param_rescan_flags) {}
  static void paramsClear(const clap_host_t*, clap_id, clap_param_clear_flags) {}
  // While blocks run, the next one flushes; the job finds nothing then.
  static void paramsRequestFlush(const clap_host_t* host) {
    if (ClapPlugin* p = self(host)) p->request(kWantFlush);
  }

  static void latencyChanged(const clap_host_t* host) { post(host, [](ClapPlugin& p) { p.latencyChanged(); }); }

  static void markDirty(const clap_host_t* host) {
    if (ClapPlugin* p = self(host)) p->paramChanged(-1);
  }

  static void resizeHintsChanged(const clap_host_t*) {}
  static bool requestResize(const clap_host_t* host, uint32_t width, uint32_t height) {
    post(host, [width, height](ClapPlugin& p) {
      if (p.window_) clapResizeWindow(p.window_, static_cast<int>(width), static_cast<int>(height));
    });
    return true;
  }
  static bool requestShow(const clap_host_t*) { return false; }
  static bool requestHide(const clap_host_t*) { return false; }
  static void guiClosed(const clap_host_t* host, bool) {
    // The plug-in closed its side: no editorClosed, as for our own close.
    post(host, [](ClapPlugin& p) { p.closeWindow(); });
  }

  // The loop services: main thread only, as the extensions say; a call from
  // elsewhere is refused rather than raced.
  static ClapPlugin* onMainThread(const clap_host_t* host) {
    ClapPlugin* p = self(host);
    return p && isMainThread(host) && p->alive_->load() ? p : nullptr;
  }
  // The plug-in's callback, if the instance still lives and offers it.
  template <class Ext>
  static const Ext* live(ClapPlugin* p, const std::weak_ptr<std::atomic<bool>>& alive, const char* id) {
    auto flag = alive.lock();
    if (!flag || !flag->load() || !p->instance_) return nullptr;
    return static_cast<const Ext*>(p->instance_->get_extension(p->instance_, id));
  }

  static bool registerTimer(const clap_host_t* host, uint32_t periodMs, clap_id* timerId) {
    ClapPlugin* p = onMainThread(host);
    if (!p || !timerId) return false;
    const clap_id id = p->nextTimer_++;
    std::weak_ptr<std::atomic<bool>> alive = p->alive_;
    uint64_t source = editorAddTimer(periodMs == 0 ? 1 : periodMs, [p, alive, id] {
      if (auto* t = live<clap_plugin_timer_support_t>(p, alive, CLAP_EXT_TIMER_SUPPORT); t && t->on_timer)
        t->on_timer(p->instance_, id);
    });
    if (!source) return false;
    p->timers_[id] = source;
    *timerId = id;
    return true;
  }
  static bool unregisterTimer(const clap_host_t* host, clap_id timerId) {
    ClapPlugin* p = onMainThread(host);
    if (!p) return false;
    auto it = p->timers_.find(timerId);
    if (it == p->timers_.end()) return false;
    uint64_t source = it->second;
    p->timers_.erase(it);
    editorRemove(source);
    return true;
  }

  static uint64_t watchFd(ClapPlugin* p, int fd, clap_posix_fd_flags_t flags) {
    std::weak_ptr<std::atomic<bool>> alive = p->alive_;
    return editorAddFd(fd, flags, [p, alive, fd](uint32_t ready) {
      auto flag = alive.lock();
      if (!flag || !flag->load()) return;
      // The descriptor was closed without unregistering: its watch ended, and
      // the plug-in may register the number again.
      if (ready & kFdGone) p->fds_.erase(fd);
      ready &= ~kFdGone;
      if (auto* f = live<clap_plugin_posix_fd_support_t>(p, alive, CLAP_EXT_POSIX_FD_SUPPORT); f && f->on_fd)
        f->on_fd(p->instance_, fd, ready);
    });
  }
  static bool registerFd(const clap_host_t* host, int fd, clap_posix_fd_flags_t flags) {
    ClapPlugin* p = onMainThread(host);
    if (!p || fd < 0 || p->fds_.count(fd)) return false;
    uint64_t source = watchFd(p, fd, flags);
    if (!source) return false;
    p->fds_[fd] = source;
    return true;
  }
  static bool modifyFd(const clap_host_t* host, int fd, clap_posix_fd_flags_t flags) {
    ClapPlugin* p = onMainThread(host);
    if (!p) return false;
    auto it = p->fds_.find(fd);
    if (it == p->fds_.end()) return false;
    editorRemove(it->second);
    it->second = watchFd(p, fd, flags);
    if (it->second) return true;
    p->fds_.erase(it);
    return false;
  }
  static bool unregisterFd(const clap_host_t* host, int fd) {
    ClapPlugin* p = onMainThread(host);
    if (!p) return false;
    auto it = p->fds_.find(fd);
    if (it == p->fds_.end()) return false;
    uint64_t source = it->second;
    p->fds_.erase(it);
    editorRemove(source);
    return true;
  }

  static bool rescanFlagSupported(const clap_host_t*, uint32_t) { return false; }
  static void portsRescan(const clap_host_t*, uint32_t) {}

  static const clap_host_log_t log_;
  static const clap_host_thread_check_t threadCheck_;
  static const clap_host_params_t params_;
  static const clap_host_latency_t latency_;
  static const clap_host_state_t state_;
  static const clap_host_gui_t gui_;
  static const clap_host_audio_ports_t audioPorts_;
  static const clap_host_timer_support_t timers_;
  static const clap_host_posix_fd_support_t fds_;
};

const clap_host_timer_support_t ClapPlugin::Callbacks::timers_{&Callbacks::registerTimer, &Callbacks::unregisterTimer};
const clap_host_posix_fd_support_t ClapPlugin::Callbacks::fds_{&Callbacks::registerFd, &Callbacks::modifyFd,
                                                               &Callbacks::unregisterFd};

const clap_host_log_t ClapPlugin::Callbacks::log_{&Callbacks::log};
const clap_host_thread_check_t ClapPlugin::Callbacks::threadCheck_{&Callbacks::isMainThread,
                                                                    &Callbacks::isAudioThread};
const clap_host_params_t ClapPlugin::Callbacks::params_{&Callbacks::paramsRescan, &Callbacks::paramsClear,
                                                        &Callbacks::paramsRequestFlush};
const clap_host_latency_t ClapPlugin::Callbacks::latency_{&Callbacks::latencyChanged};
const clap_host_state_t ClapPlugin::Callbacks::state_{&Callbacks::markDirty};
const clap_host_gui_t ClapPlugin::Callbacks::gui_{&Callbacks::resizeHintsChanged, &Callbacks::requestResize,
                                                  &Callbacks::requestShow, &Callbacks::requestHide,
                                                  &Callbacks::guiClosed};
const clap_host_audio_ports_t ClapPlugin::Callbacks::audioPorts_{&Callbacks::rescanFlagSupported,
                                                                 &Callbacks::portsRescan};

void ClapPlugin::initHostRecord() {
  host_.clap_version = clap_version_t{CLAP_VERSION_MAJOR, CLAP_VERSION_MINOR, CLAP_VERSION_REVISION};
  host_.host_data = this;
  host_.name = kHostName;
  host_.vendor = kHostName;
  host_.url = "";
  host_.version = kHostVersion;
  host_.get_extension = &ClapPlugin::hostExtension;
  host_.request_restart = &Callbacks::requestRestart;
  host_.request_process = &Callbacks::requestProcess;
  host_.request_callback = &Callbacks::requestCallback;
}

const void* ClapPlugin::hostExtension(const clap_host_t*, const char* id) {
  if (!id) return nullptr;
  if (std::strcmp(id, CLAP_EXT_LOG) == 0) return &Callbacks::log_;
  if (std::strcmp(id, CLAP_EXT_THREAD_CHECK) == 0) return &Callbacks::threadCheck_;
  if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &Callbacks::params_;
  if (std::strcmp(id, CLAP_EXT_LATENCY) == 0) return &Callbacks::latency_;
  if (std::strcmp(id, CLAP_EXT_STATE) == 0) return &Callbacks::state_;
  if (std::strcmp(id, CLAP_EXT_GUI) == 0) return &Callbacks::gui_;
  if (std::strcmp(id, CLAP_EXT_AUDIO_PORTS) == 0) return &Callbacks::audioPorts_;
  if (std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0) return &Callbacks::timers_;
  if (std::strcmp(id, CLAP_EXT_POSIX_FD_SUPPORT) == 0) return &Callbacks::fds_;
  return nullptr;
}

void ClapPlugin::onMain(std::function<void(ClapPlugin&)> fn) {
  if (!runOnMain_) return;
  std::weak_ptr<std::atomic<bool>> alive = alive_;
  ClapPlugin* self = this;
  runOnMain_([self, alive, fn = std::move(fn)] {
    // The object lives exactly while its flag does and is true: both are
    // changed only on the main thread, where this runs.
    auto flag = alive.lock();
    if (!flag || !flag->load() || !self->instance_) return;
    fn(*self);
  });
}

}  // namespace bridge
