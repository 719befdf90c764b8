// Entry of Krevlo Bridge: a scan command line makes this process a scan
// helper; anything else starts the application.
#include "app/desktop/application.h"
#include "app/shell/startup.h"
#include "hosting/scan_command.h"

int main(int argc, char** argv) {
  int code = 0;
  if (bridge::runScanHelper(argc, argv, code)) return code;
  bridge::raiseDescriptorLimit();
  return bridge::runApplication();
}
