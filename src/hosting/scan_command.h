#pragma once
// The "--scan" command: the helper side of plug-in examination.
//
//   <program> --scan VST3|CLAP <list file> <output file>
//
// The list file holds paths, each followed by one NUL byte. For each path, in
// order, the command appends one compact JSON line to the output file:
// {"entry": <probe result>, "i": <position from 0>}, flushed at once so the
// coordinator sees progress. Exit code 0, or 1 when a write failed.
namespace bridge {

// Returns false, changing nothing, unless argc is 5 and argv[1] is "--scan".
// Otherwise examines every listed file, sets `exitCode` and ends the process
// with _Exit, so no destructor or exit handler of a plug-in runs: it never
// returns true. Both programs' entries call it before anything else.
// Thread: the program's main thread.
bool runScanHelper(int argc, const char* const* argv, int& exitCode);

}  // namespace bridge
