// Runs a Bridge for a real client: a free port on 127.0.0.1, a fixed pairing
// code and the given data folder, one test host "Test" whose plug-ins are a gain
// of one half that reports a parameter change from every audio block, and a
// 32-sample latency. With --clap or --vst3 the real host of that format takes
// the test host's place: it searches the standard folders (CLAP_PATH, HOME),
// keeps its cache in DATA_DIR and examines plug-ins with the HELPER executable.
// The folder dialog answers PLACE_DIR when given. Prints "PORT <n>" once it
// listens, serves until its standard input closes, then shuts down and exits 0.
//   bridge_e2e_driver [--clap HELPER | --vst3 HELPER] DATA_DIR CODE [PLACE_DIR]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "bridge/bridge.h"
#include "bridge/origins.h"
#include "hosting/clap_host.h"
#include "hosting/vst3_host.h"
#include "platform/dispatch/main_queue.h"
#include "support/fake_host.h"
#include "support/free_port.h"

namespace {

using bridge::test::freePort;

}  // namespace

int main(int argc, char** argv) {
  const char* program = argv[0];
  std::string real, helper;
  if (argc >= 3 && (std::strcmp(argv[1], "--clap") == 0 || std::strcmp(argv[1], "--vst3") == 0)) {
    real = argv[1] + 2;
    helper = argv[2];
    argc -= 2;
    argv += 2;
  }
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s [--clap HELPER | --vst3 HELPER] DATA_DIR CODE [PLACE_DIR]\n", program);
    return 2;
  }
  bridge::MainQueue queue;
  bridge::BridgeOptions options;
  options.dataDir = argv[1];
  options.port = freePort();
  options.origins = bridge::originsFromEnvironment();
  options.fixedCode = argv[2];
  bridge::Platform platform;
  platform.runOnMain = [&queue](std::function<void()> job) { queue.post(std::move(job)); };
  if (argc == 4)
    platform.pickFolder = [folder = std::string(argv[3])](std::function<void(std::string)> done) { done(folder); };

  std::unique_ptr<bridge::Host> host;
  if (real == "clap") {
    // Made on this thread, which is the CLAP main thread from here on.
    host = bridge::makeClapHost(options.dataDir, {}, platform.runOnMain, helper);
  } else if (real == "vst3") {
    host = bridge::makeVst3Host(options.dataDir, {}, platform.runOnMain, helper);
  } else {
    auto fake = std::make_unique<bridge::test::FakeHost>("Test");
    bridge::test::FakePluginOptions gain;
    gain.gain = 0.5f;
    gain.paramsFromAudio = true;
    fake->setPluginOptions(fake->add("Gain"), gain);
    bridge::test::FakePluginOptions latency;
    latency.latency = 32;
    fake->setPluginOptions(fake->add("Latency"), latency);
    host = std::move(fake);
  }
  auto b = std::make_unique<bridge::Bridge>(std::move(options), std::move(platform));
  b->addHost(std::move(host));
  if (!b->start()) {
    std::printf("ERROR %s\n", b->status().error.c_str());
    return 1;
  }
  std::printf("PORT %d\n", b->status().port);
  std::fflush(stdout);

  for (;;) {
    pollfd fds[2] = {{queue.fd(), POLLIN, 0}, {0, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    queue.drain();
    if (fds[1].revents) {
      char buffer[64];
      if (::read(0, buffer, sizeof buffer) <= 0) break;
    }
  }
  b.reset();
  queue.drain();
  return 0;
}
