#pragma once
// The application's life: the GTK window on the GLib loop when an X11 display
// opens, else the terminal front end on the poll loop over standard input; in
// both the main queue and the shutdown signals are served by the loop.
namespace bridge {

// Exit codes besides 0 (the program was told to quit) and the scan command's.
// A system resource the program cannot run without failed: a descriptor at
// start-up, or the main loop's wait.
constexpr int kExitSystemFailure = 71;
// Anything else that escaped the application.
constexpr int kExitInternalFailure = 70;

// Launches, runs until "quit", SIGINT or SIGTERM, then destroys the Bridge
// (threads joined, helpers killed, the port closed) and returns the exit code.
// Throws std::system_error, carrying the errno, when start-up cannot make a
// descriptor it needs or the main loop cannot wait; main reports it. Main
// thread, once.
int runApplication();

}  // namespace bridge
