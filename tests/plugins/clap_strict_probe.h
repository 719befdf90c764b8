/* What the clap_strict test plug-in records, read by tests through the exported
 * function "krevlo_clap_strict_probe" of the same loaded image. */
#ifndef KREVLO_TESTS_CLAP_STRICT_PROBE_H
#define KREVLO_TESTS_CLAP_STRICT_PROBE_H

#include <stdint.h>

#include "platform/clap/clap_ext.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KrevloClapStrictRecord {
  int activates, deactivates, starts, stops, flushes, onMainThreadCalls, destroys;
  /* stop_processing calls made on another thread than the one that ran the
   * instance's last process. */
  int stopsOffProcessThread;
  /* Blocks processed, and parameter events seen by process and by flush. */
  int blocks, processEvents, flushEvents;
  /* The largest sample seen on the side input (sidechain kind). */
  float sidePeak;
} KrevloClapStrictRecord;

typedef struct KrevloClapStrictProbe {
  void (*record)(KrevloClapStrictRecord* out);
  /* The host record given to the last instance made. */
  const clap_host_t* (*lastHost)(void);
} KrevloClapStrictProbe;

typedef const KrevloClapStrictProbe* (*KrevloClapStrictProbeFn)(void);

#ifdef __cplusplus
}
#endif

#endif
