// The once-a-second housekeeping.
#include "bridge/bridge.h"

namespace bridge {

// Still to come here: the CPU figures, "stats" and the MIDI refresh.
void Bridge::tick() {
  rotateCode();
  notifyChanged();
}

}  // namespace bridge
