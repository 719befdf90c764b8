// Parameter and level pushes, posted by the ticker every 50 ms.
#include "bridge/bridge.h"

namespace bridge {

// Not built yet: "param" and "dirty".
void Bridge::flushParams() {}

// Not built yet: "levels".
void Bridge::flushLevels() {}

}  // namespace bridge
