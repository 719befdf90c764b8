// The host record as a loaded plug-in sees it: identity, extensions, log,
// thread checks from every kind of thread, and requests that outlive their
// plug-in.
#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

#include "clap_fixture.h"
#include "platform/clap/clap_loop.h"
#include "support/fake_editor_windows.h"

namespace bridge::test {
namespace {

using ClapHostCallbacksTest = ClapFixture;

template <typename Ext>
const Ext* ext(const clap_host_t* h, const char* id) {
  return static_cast<const Ext*>(h->get_extension(h, id));
}

TEST_F(ClapHostCallbacksTest, RecordNamesTheHostAndOffersItsExtensions) {
  auto p = make("gain");
  const clap_host_t* h = lastHost();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->clap_version.major, 1u);
  EXPECT_EQ(h->clap_version.minor, 2u);
  EXPECT_EQ(h->clap_version.revision, 9u);
  EXPECT_STREQ(h->name, "Krevlo Bridge");
  EXPECT_STREQ(h->vendor, "Krevlo Bridge");
  EXPECT_STREQ(h->url, "");
  EXPECT_STREQ(h->version, "0.1.128");
  EXPECT_NE(h->host_data, nullptr);
  for (const char* id : {"clap.log", "clap.thread-check", "clap.params", "clap.latency", "clap.state", "clap.gui",
                         "clap.audio-ports", "clap.timer-support", "clap.posix-fd-support"})
    EXPECT_NE(h->get_extension(h, id), nullptr) << id;
  for (const char* id : {"clap.note-ports", "clap.tail", "clap.log ", "CLAP.LOG", ""})
    EXPECT_EQ(h->get_extension(h, id), nullptr) << id;
  EXPECT_EQ(h->get_extension(h, nullptr), nullptr);

  // Two instances share the tables but not the record.
  auto q = make("gain");
  const clap_host_t* h2 = lastHost();
  EXPECT_NE(h, h2);
  EXPECT_EQ(h->get_extension(h, "clap.log"), h2->get_extension(h2, "clap.log"));
}

TEST_F(ClapHostCallbacksTest, LogPrintsWarningsAndWorse) {
  auto p = make("gain");
  const clap_host_t* h = lastHost();
  auto log = ext<clap_host_log_t>(h, CLAP_EXT_LOG);
  struct Case {
    clap_log_severity severity;
    const char* printed;
  };
  const Case cases[] = {
      {CLAP_LOG_DEBUG, ""},
      {CLAP_LOG_INFO, ""},
      {CLAP_LOG_WARNING, "[clap] message\n"},
      {CLAP_LOG_ERROR, "[clap] message\n"},
      {CLAP_LOG_FATAL, "[clap] message\n"},
      {CLAP_LOG_HOST_MISBEHAVING, "[clap] message\n"},
      {CLAP_LOG_PLUGIN_MISBEHAVING, "[clap] message\n"},
  };
  for (const Case& c : cases) {
    ::testing::internal::CaptureStderr();
    log->log(h, c.severity, "message");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.printed) << c.severity;
  }
  ::testing::internal::CaptureStderr();
  log->log(h, CLAP_LOG_ERROR, nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[clap] \n");
}

TEST_F(ClapHostCallbacksTest, LoopServicesAreMainThreadOnlyAndGoWithThePlugin) {
  auto p = make("gain");
  const clap_host_t* h = lastHost();
  auto timers = ext<clap_host_timer_support_t>(h, CLAP_EXT_TIMER_SUPPORT);
  auto fds = ext<clap_host_posix_fd_support_t>(h, CLAP_EXT_POSIX_FD_SUPPORT);
  ASSERT_TRUE(timers && fds);
  clap_id id = CLAP_INVALID_ID;
  EXPECT_FALSE(timers->register_timer(h, 10, &id)) << "no loop without editor windows";

  FakeEditorWindows windows;
  ASSERT_TRUE(timers->register_timer(h, 10, &id));
  ASSERT_EQ(windows.sources.size(), 1u);
  EXPECT_EQ(windows.sources.begin()->second.periodMs, 10u);
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  EXPECT_TRUE(fds->register_fd(h, pipeFds[0], CLAP_POSIX_FD_READ));
  EXPECT_FALSE(fds->register_fd(h, pipeFds[0], CLAP_POSIX_FD_READ)) << "one watch per descriptor";
  EXPECT_TRUE(fds->modify_fd(h, pipeFds[0], CLAP_POSIX_FD_READ | CLAP_POSIX_FD_WRITE));
  EXPECT_FALSE(fds->modify_fd(h, pipeFds[1], CLAP_POSIX_FD_READ));
  EXPECT_EQ(windows.sources.size(), 2u);

  // Off the main thread nothing is registered.
  bool foreign = true;
  std::thread t([&] {
    clap_id other;
    foreign = timers->register_timer(h, 10, &other) || fds->register_fd(h, pipeFds[1], CLAP_POSIX_FD_READ);
  });
  t.join();
  EXPECT_FALSE(foreign);

  EXPECT_FALSE(timers->unregister_timer(h, id + 100));
  EXPECT_TRUE(timers->unregister_timer(h, id));
  EXPECT_FALSE(timers->unregister_timer(h, id));
  EXPECT_EQ(windows.sources.size(), 1u);

  // What the plug-in leaves registered goes with it.
  ASSERT_TRUE(timers->register_timer(h, 5, &id));
  p.reset();
  EXPECT_TRUE(windows.sources.empty());
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

TEST_F(ClapHostCallbacksTest, ThreadCheckTellsMainAudioAndForeignThreads) {
  auto p = make("gain");
  const clap_host_t* h = lastHost();
  auto check = ext<clap_host_thread_check_t>(h, CLAP_EXT_THREAD_CHECK);

  // The thread that made the host is the main thread.
  EXPECT_TRUE(check->is_main_thread(h));
  EXPECT_FALSE(check->is_audio_thread(h));

  // A chain worker: its first call is reset, which already marks it.
  bool workerAudio = false, workerMain = true;
  std::thread worker([&] {
    p->reset();
    run(*p, 16);
    workerAudio = check->is_audio_thread(h);
    workerMain = check->is_main_thread(h);
  });
  worker.join();
  EXPECT_TRUE(workerAudio);
  EXPECT_FALSE(workerMain);
  const KrevloClapFxRecord r = record();
  EXPECT_EQ(r.resetSawAudio, 1);
  EXPECT_EQ(r.resetSawMain, 0);
  EXPECT_EQ(r.processSawAudio, 1);
  EXPECT_EQ(r.processSawMain, 0);

  // A thread of the plug-in's own.
  bool foreignAudio = true, foreignMain = true;
  std::thread foreign([&] {
    foreignAudio = check->is_audio_thread(h);
    foreignMain = check->is_main_thread(h);
  });
  foreign.join();
  EXPECT_FALSE(foreignAudio);
  EXPECT_FALSE(foreignMain);

  // The mark belongs to the worker alone.
  EXPECT_FALSE(check->is_audio_thread(h));
}

TEST_F(ClapHostCallbacksTest, RequestCallbackRunsOnMainWhileThePluginLives) {
  auto p = make("gain");
  const clap_host_t* h = lastHost();
  std::thread([h] { h->request_callback(h); }).join();
  EXPECT_EQ(record().onMainThreadCalls, 0);  // posted, not run on the calling thread
  queue.drain();
  EXPECT_EQ(record().onMainThreadCalls, 1);

  // Requests still queued when the plug-in goes are dropped. A callback and a
  // restart asked for together share one job.
  int latencyCalls = 0;
  p->latencyChanged = [&] { ++latencyCalls; };
  h->request_callback(h);
  h->request_restart(h);
  ext<clap_host_latency_t>(h, CLAP_EXT_LATENCY)->changed(h);
  ext<clap_host_gui_t>(h, CLAP_EXT_GUI)->closed(h, true);
  EXPECT_TRUE(ext<clap_host_gui_t>(h, CLAP_EXT_GUI)->request_resize(h, 10, 10));
  EXPECT_EQ(queue.pending(), 4u);
  p.reset();
  EXPECT_EQ(queue.drain(), 4u);
  EXPECT_EQ(record().onMainThreadCalls, 1);
  EXPECT_EQ(latencyCalls, 0);
}

TEST_F(ClapHostCallbacksTest, LatencyChangesAreReportedOnMain) {
  auto p = make("latency");
  const clap_host_t* h = lastHost();
  int latencyCalls = 0;
  p->latencyChanged = [&] { ++latencyCalls; };
  std::thread([h] {
    ext<clap_host_latency_t>(h, CLAP_EXT_LATENCY)->changed(h);
    h->request_restart(h);
  }).join();
  EXPECT_EQ(latencyCalls, 0);
  queue.drain();
  EXPECT_EQ(latencyCalls, 2);
}

TEST_F(ClapHostCallbacksTest, MarkDirtyReportsTheWholeStateAtOnce) {
  auto p = make("state");
  const clap_host_t* h = lastHost();
  std::vector<int> changed;
  std::thread::id on;
  p->paramChanged = [&](int i) {
    changed.push_back(i);
    on = std::this_thread::get_id();
  };
  std::thread::id caller;
  std::thread([&] {
    caller = std::this_thread::get_id();
    ext<clap_host_state_t>(h, CLAP_EXT_STATE)->mark_dirty(h);
  }).join();
  EXPECT_EQ(changed, std::vector<int>{-1});
  EXPECT_EQ(on, caller);
  EXPECT_EQ(queue.pending(), 0u);
}

TEST_F(ClapHostCallbacksTest, InertCallbacksAnswerWithoutEffect) {
  auto p = make("gain");
  const clap_host_t* h = lastHost();
  auto params = ext<clap_host_params_t>(h, CLAP_EXT_PARAMS);
  params->rescan(h, CLAP_PARAM_RESCAN_ALL);
  params->clear(h, 10, CLAP_PARAM_CLEAR_ALL);
  h->request_process(h);
  auto gui = ext<clap_host_gui_t>(h, CLAP_EXT_GUI);
  gui->resize_hints_changed(h);
  EXPECT_FALSE(gui->request_show(h));
  EXPECT_FALSE(gui->request_hide(h));
  auto ports = ext<clap_host_audio_ports_t>(h, CLAP_EXT_AUDIO_PORTS);
  for (uint32_t flag = 1; flag <= CLAP_AUDIO_PORTS_RESCAN_LIST; flag <<= 1)
    EXPECT_FALSE(ports->is_rescan_flag_supported(h, flag)) << flag;
  ports->rescan(h, CLAP_AUDIO_PORTS_RESCAN_LIST);
  EXPECT_EQ(queue.pending(), 0u);
  EXPECT_EQ(p->params().size(), 1u);
}

}  // namespace
}  // namespace bridge::test
