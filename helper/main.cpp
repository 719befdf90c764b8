// Entry of Krevlo Bridge Helper: it only ever runs the scan command, in a
// process of its own, so a plug-in that crashes or hangs while it is examined
// takes down nothing but this process.
#include "hosting/scan_command.h"

int main(int argc, char** argv) {
  int code = 1;
  bridge::runScanHelper(argc, argv, code);
  return code;
}
