/* Our own declaration of the CLAP plug-in record, C-compatible, LP64.
 * The record is made by the factory's create_plugin and lives until destroy. */
#ifndef KREVLO_CLAP_PLUGIN_H
#define KREVLO_CLAP_PLUGIN_H

#include "platform/clap/clap_process.h"

#ifdef __cplusplus
extern "C" {
#endif

struct clap_plugin {
  const clap_plugin_descriptor_t* desc;
  void* plugin_data; /* the plug-in's own */

  /* [main-thread] Once, right after create_plugin. */
  bool (*init)(const struct clap_plugin* plugin);
  /* [main-thread] Frees the plug-in; deactivate first when active. */
  void (*destroy)(const struct clap_plugin* plugin);

  /* [main-thread] Between activate and deactivate the audio configuration is
   * fixed: every process call has min_frames..max_frames frames. */
  bool (*activate)(const struct clap_plugin* plugin, double sample_rate, uint32_t min_frames_count,
                   uint32_t max_frames_count);
  void (*deactivate)(const struct clap_plugin* plugin);

  /* [audio-thread] Around a run of process calls. */
  bool (*start_processing)(const struct clap_plugin* plugin);
  void (*stop_processing)(const struct clap_plugin* plugin);
  /* [audio-thread] Clears buffers and envelopes; only while active. */
  void (*reset)(const struct clap_plugin* plugin);
  /* [audio-thread] Only while processing. */
  clap_process_status (*process)(const struct clap_plugin* plugin, const clap_process_t* process);

  /* [thread-safe] NULL when the extension is not provided. */
  const void* (*get_extension)(const struct clap_plugin* plugin, const char* id);
  /* [main-thread] Answers the host's request_callback. */
  void (*on_main_thread)(const struct clap_plugin* plugin);
};

#if UINTPTR_MAX == 0xffffffffffffffffu
KREVLO_CLAP_ASSERT(sizeof(clap_plugin_t) == 96 && KREVLO_CLAP_ALIGNOF(clap_plugin_t) == 8, "clap_plugin_t");
KREVLO_CLAP_ASSERT(offsetof(clap_plugin_t, plugin_data) == 8 && offsetof(clap_plugin_t, init) == 16 &&
                       offsetof(clap_plugin_t, destroy) == 24 && offsetof(clap_plugin_t, activate) == 32 &&
                       offsetof(clap_plugin_t, deactivate) == 40 && offsetof(clap_plugin_t, start_processing) == 48 &&
                       offsetof(clap_plugin_t, stop_processing) == 56 && offsetof(clap_plugin_t, reset) == 64 &&
                       offsetof(clap_plugin_t, process) == 72 && offsetof(clap_plugin_t, get_extension) == 80 &&
                       offsetof(clap_plugin_t, on_main_thread) == 88,
                   "clap_plugin_t");
#endif

#ifdef __cplusplus
}
#endif

#endif
