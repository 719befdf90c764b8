#pragma once
// The application's life without a toolkit: the terminal front end, the poll
// loop over the main queue, standard input and the shutdown signals.
namespace bridge {

// Launches, runs until "quit", SIGINT or SIGTERM, then destroys the Bridge
// (threads joined, helpers killed, the port closed) and returns the exit code.
// Main thread, once.
int runApplication();

}  // namespace bridge
