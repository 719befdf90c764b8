#include "app/shell/application.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "app/shell/controller.h"
#include "app/shell/poll_loop.h"
#include "app/shell/signals.h"
#include "app/shell/startup.h"
#include "app/shell/terminal_ui.h"
#include "server/trust.h"

namespace bridge {

int runApplication() {
  ShutdownSignals signals;
  MainQueue& queue = applicationQueue();
  PollLoop loop(queue);

  TerminalUi ui(
      [](const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
      },
      ::isatty(STDOUT_FILENO) == 1);

  ShellServices services;
  services.loop = &loop;
  services.runOnMain = runOnMainQueue;
  services.background = runDetached;
  services.identityTrusted = [](const std::filesystem::path& dir) { return identityTrusted(dir); };
  services.trustAuthority = [](const std::filesystem::path& dir, std::string& error) {
    return trustAuthority(dir, error);
  };
  services.updateKey = kUpdateSigningKey;
  auto controller = std::make_shared<AppController>(ui, std::move(services));

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

  controller->launch(readEnvironment(), assembleBridge);
  loop.run();

  controller->terminate();
  // Whatever is still queued finds the Bridge gone and does nothing.
  queue.drain();
  controller.reset();
  return 0;
}

}  // namespace bridge
