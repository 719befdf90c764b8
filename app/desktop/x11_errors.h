#pragma once
// X errors never end the program. Xlib's default handler exits on any error,
// and so does the toolkit's for errors it did not expect; a plug-in editor that
// works on a window that is already gone (on its own X connection, which shares
// the process-wide handler) would take the whole program down. The handler
// installed here logs each error and goes on.
//
// Threads: install on the main thread after the display is open (the toolkit
// installs its own handler while it opens it). The handler runs on whichever
// thread an Xlib call met the error.
#include <cstdint>

namespace bridge {

void installX11ErrorLog();
// How many X errors were logged since the process started.
uint64_t x11ErrorsLogged();

}  // namespace bridge
