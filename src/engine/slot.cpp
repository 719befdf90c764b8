#include "engine/slot.h"

namespace bridge {

// The editor window belongs to the plug-in; close it before the plug-in goes,
// while the slot still holds its share. Members then go in reverse order:
// analyser and buffers first, the plug-in, then the strings.
Slot::~Slot() {
  if (plugin) plugin->closeEditor();
}

}  // namespace bridge
