#pragma once
// The application's life: the GTK window on the GLib loop when an X11 display
// opens, else the terminal front end on the poll loop over standard input; in
// both the main queue and the shutdown signals are served by the loop.
namespace bridge {

// Launches, runs until "quit", SIGINT or SIGTERM, then destroys the Bridge
// (threads joined, helpers killed, the port closed) and returns the exit code.
// Main thread, once.
int runApplication();

}  // namespace bridge
