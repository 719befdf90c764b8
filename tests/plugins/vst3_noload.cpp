// A VST3 bundle whose code refuses to start (ModuleEntry fails), described by a
// module info, so that examination lists its class without loading it.
#include "platform/vst3/vst3_factory.h"

extern "C" {

__attribute__((visibility("default"))) bool ModuleEntry(void*) { return false; }

__attribute__((visibility("default"))) bool ModuleExit() { return true; }

__attribute__((visibility("default"))) Steinberg::IPluginFactory* GetPluginFactory() { return nullptr; }
}
