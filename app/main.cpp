// Entry of Krevlo Bridge: a scan command line makes this process a scan
// helper; anything else starts the application.
#include <cstdio>
#include <exception>
#include <system_error>

#include "app/desktop/application.h"
#include "app/shell/startup.h"
#include "hosting/scan_command.h"

int main(int argc, char** argv) {
  int code = 0;
  if (bridge::runScanHelper(argc, argv, code)) return code;
  // Whatever ends the application early says why on standard error and leaves
  // with a code of its own, instead of an abort.
  try {
    bridge::raiseDescriptorLimit();
    return bridge::runApplication();
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "krevlo-bridge: %s\n", e.what());
    return bridge::kExitSystemFailure;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "krevlo-bridge: %s\n", e.what());
    return bridge::kExitInternalFailure;
  }
}
