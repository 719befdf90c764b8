/* What the clap_fx test plug-in records, read by tests through the exported
 * function "krevlo_clap_fx_probe" of the same loaded image (dlopen of the same
 * file with RTLD_NOLOAD). Every copy of the file records on its own. */
#ifndef KREVLO_TESTS_CLAP_FX_PROBE_H
#define KREVLO_TESTS_CLAP_FX_PROBE_H

#include <stddef.h>

#include "platform/clap/clap_ext.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KREVLO_CLAP_FX_MAX_EVENTS 16
#define KREVLO_CLAP_FX_MAX_PORTS 4

typedef struct KrevloClapFxRecord {
  int entryInits;
  /* Input events of the last block, and the last block that brought any, as
   * the plug-in saw them. */
  uint32_t lastBlockEvents;
  uint32_t eventCount;
  clap_event_param_value_t events[KREVLO_CLAP_FX_MAX_EVENTS];
  /* The last block's transport and steady time. */
  int hasTransport;
  clap_event_transport_t transport;
  int64_t steadyTime;
  int startCalls;
  int onMainThreadCalls;
  /* Thread checks asked inside the first reset and the first process: 1 yes,
   * 0 no, -1 not asked yet. */
  int resetSawAudio, resetSawMain, processSawAudio, processSawMain;
  /* Ports of the last block: channel counts and whether every channel pointer
   * the plug-in indexed by its own declared count was set. */
  uint32_t inputCount, outputCount;
  uint32_t inputChannels[KREVLO_CLAP_FX_MAX_PORTS], outputChannels[KREVLO_CLAP_FX_MAX_PORTS];
  int channelPointersOk;
} KrevloClapFxRecord;

typedef struct KrevloClapFxProbe {
  /* The calls so far, one per line ("entry.init", "init", "activate 48000 1 512",
   * "process" once per instance, "gui.show", ...). Truncated to capacity. */
  void (*log)(char* out, size_t capacity);
  void (*record)(KrevloClapFxRecord* out);
  /* The host record given to the last instance made. */
  const clap_host_t* (*lastHost)(void);
} KrevloClapFxProbe;

typedef const KrevloClapFxProbe* (*KrevloClapFxProbeFn)(void);

#ifdef __cplusplus
}
#endif

#endif
