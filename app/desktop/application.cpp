#include "app/desktop/application.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <system_error>

#include "app/desktop/glib_loop.h"
#include "app/desktop/gtk_ui.h"
#include "app/desktop/x11_editor_windows.h"
#include "app/desktop/x11_errors.h"
#include "app/shell/controller.h"
#include "app/shell/poll_loop.h"
#include "app/shell/signals.h"
#include "app/shell/startup.h"
#include "app/shell/terminal_ui.h"
#include "server/trust.h"

namespace bridge {

namespace {

ShellServices services(EventLoop& loop) {
  ShellServices s;
  s.loop = &loop;
  s.runOnMain = runOnMainQueue;
  s.background = runDetached;
  s.identityTrusted = [](const std::filesystem::path& dir) { return identityTrusted(dir); };
  s.trustAuthority = [](const std::filesystem::path& dir, std::string& error) { return trustAuthority(dir, error); };
  s.updateKey = kUpdateSigningKey;
  return s;
}

int runLoop(PollLoop& loop) { return loop.run(); }
int runLoop(GlibLoop& loop) {
  loop.run();
  return 0;
}

// Runs the controller on `loop` until it quits, then takes the system down.
// Returns 0, or the errno with which the loop could not go on.
template <class Loop>
int runController(ShellUi& ui, Loop& loop, MainQueue& queue) {
  auto controller = std::make_shared<AppController>(ui, services(loop));
  controller->launch(readEnvironment(), assembleBridge);
  const int failure = runLoop(loop);
  controller->terminate();
  // Whatever is still queued finds the Bridge gone and does nothing.
  queue.drain();
  controller.reset();
  return failure;
}

int runDesktop(ShutdownSignals& signals, MainQueue& queue) {
  // A second launch in the same desktop session brings the running copy's
  // window back instead of starting another Bridge. A snapshot always draws
  // its own window.
  GtkApplication* app = nullptr;
  if (!std::getenv("QUILLET_SNAPSHOT") && activateRunningCopy(app)) return 0;
  installX11ErrorLog();
  GlibLoop loop(queue);
  GtkUi ui(app);
  // Plug-in editors exist only here: on a display, served by the GLib loop.
  X11EditorWindows editors;
  setEditorWindows(&editors);
  loop.watch(signals.fd(), [&] {
    signals.take();
    loop.quit();
  });
  runController(ui, loop, queue);
  // The Bridge, and with it every plug-in and its editor, is gone by now.
  setEditorWindows(nullptr);
  return 0;
}

int runTerminal(ShutdownSignals& signals, MainQueue& queue) {
  PollLoop loop(queue);
  TerminalUi ui(
      [](const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
      },
      ::isatty(STDOUT_FILENO) == 1);

  loop.watch(signals.fd(), [&] {
    signals.take();
    loop.quit();
  });
  loop.watch(STDIN_FILENO, [&] {
    char buffer[4096];
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0) return ui.feed(std::string_view(buffer, static_cast<size_t>(n)));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    // Closed (or never open): the program goes on serving; a signal ends it.
    loop.unwatch(STDIN_FILENO);
    ui.endOfInput();
  });
  // A loop that cannot wait any more has taken the system down in order first.
  if (int failure = runController(ui, loop, queue))
    throw std::system_error(failure, std::generic_category(), "the main loop cannot wait (poll)");
  return 0;
}

}  // namespace

int runApplication() {
  ShutdownSignals signals;
  MainQueue& queue = applicationQueue();
  // The window when an X11 display opens; the terminal front end otherwise.
  if (openDisplay()) return runDesktop(signals, queue);
  return runTerminal(signals, queue);
}

}  // namespace bridge
