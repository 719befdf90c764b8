/* Our own declarations of the CLAP process call's data, C-compatible, LP64.
 * Everything here is [audio-thread] and valid only during the process call. */
#ifndef KREVLO_CLAP_PROCESS_H
#define KREVLO_CLAP_PROCESS_H

#include "platform/clap/clap_events.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One audio port's channels; exactly one of data32/data64 is used. */
typedef struct clap_audio_buffer {
  float** data32;
  double** data64;
  uint32_t channel_count;
  uint32_t latency;
  uint64_t constant_mask; /* bit n: channel n holds one value throughout */
} clap_audio_buffer_t;

typedef int32_t clap_process_status;
enum {
  CLAP_PROCESS_ERROR = 0,
  CLAP_PROCESS_CONTINUE = 1,
  CLAP_PROCESS_CONTINUE_IF_NOT_QUIET = 2,
  CLAP_PROCESS_TAIL = 3,
  CLAP_PROCESS_SLEEP = 4,
};

typedef struct clap_process {
  int64_t steady_time; /* frames since processing began; -1 when unknown */
  uint32_t frames_count;
  const clap_event_transport_t* transport; /* NULL for free-running hosts */
  const clap_audio_buffer_t* audio_inputs;
  clap_audio_buffer_t* audio_outputs;
  uint32_t audio_inputs_count;
  uint32_t audio_outputs_count;
  const clap_input_events_t* in_events;
  const clap_output_events_t* out_events;
} clap_process_t;

#if UINTPTR_MAX == 0xffffffffffffffffu
KREVLO_CLAP_ASSERT(sizeof(clap_audio_buffer_t) == 32 && KREVLO_CLAP_ALIGNOF(clap_audio_buffer_t) == 8,
                   "clap_audio_buffer_t");
KREVLO_CLAP_ASSERT(offsetof(clap_audio_buffer_t, data64) == 8 && offsetof(clap_audio_buffer_t, channel_count) == 16 &&
                       offsetof(clap_audio_buffer_t, latency) == 20 &&
                       offsetof(clap_audio_buffer_t, constant_mask) == 24,
                   "clap_audio_buffer_t");

KREVLO_CLAP_ASSERT(sizeof(clap_process_t) == 64 && KREVLO_CLAP_ALIGNOF(clap_process_t) == 8, "clap_process_t");
KREVLO_CLAP_ASSERT(offsetof(clap_process_t, frames_count) == 8 && offsetof(clap_process_t, transport) == 16 &&
                       offsetof(clap_process_t, audio_inputs) == 24 && offsetof(clap_process_t, audio_outputs) == 32 &&
                       offsetof(clap_process_t, audio_inputs_count) == 40 &&
                       offsetof(clap_process_t, audio_outputs_count) == 44 &&
                       offsetof(clap_process_t, in_events) == 48 && offsetof(clap_process_t, out_events) == 56,
                   "clap_process_t");
#endif

#ifdef __cplusplus
}
#endif

#endif
