/* Our own declarations of CLAP events and event lists, C-compatible, LP64.
 * Only the events this system sends or reads; the others are declared so their
 * sizes can be checked when a plug-in pushes one.
 *
 * An event list is only valid during the process (or flush) call it was given to.
 * [audio-thread] unless stated otherwise. */
#ifndef KREVLO_CLAP_EVENTS_H
#define KREVLO_CLAP_EVENTS_H

#include "platform/clap/clap_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t clap_id;
#define CLAP_INVALID_ID UINT32_MAX

/* Fixed-point timeline values: beats or seconds times 2^31. */
typedef int64_t clap_beattime;
typedef int64_t clap_sectime;
#define CLAP_BEATTIME_FACTOR (((int64_t)1) << 31)
#define CLAP_SECTIME_FACTOR (((int64_t)1) << 31)

/* ---- Header ----------------------------------------------------------- */

typedef struct clap_event_header {
  uint32_t size;     /* of the whole event, header included */
  uint32_t time;     /* sample offset within the block */
  uint16_t space_id; /* CLAP_CORE_EVENT_SPACE_ID for the types below */
  uint16_t type;
  uint32_t flags;
} clap_event_header_t;

#define CLAP_CORE_EVENT_SPACE_ID 0

enum {
  CLAP_EVENT_IS_LIVE = 1 << 0,
  CLAP_EVENT_DONT_RECORD = 1 << 1,
};

enum {
  CLAP_EVENT_NOTE_ON = 0,
  CLAP_EVENT_NOTE_OFF = 1,
  CLAP_EVENT_NOTE_CHOKE = 2,
  CLAP_EVENT_NOTE_END = 3,
  CLAP_EVENT_NOTE_EXPRESSION = 4,
  CLAP_EVENT_PARAM_VALUE = 5,
  CLAP_EVENT_PARAM_MOD = 6,
  CLAP_EVENT_PARAM_GESTURE_BEGIN = 7,
  CLAP_EVENT_PARAM_GESTURE_END = 8,
  CLAP_EVENT_TRANSPORT = 9,
  CLAP_EVENT_MIDI = 10,
  CLAP_EVENT_MIDI_SYSEX = 11,
  CLAP_EVENT_MIDI2 = 12,
};

/* ---- Events ----------------------------------------------------------- */

typedef struct clap_event_note {
  clap_event_header_t header;
  int32_t note_id; /* -1: unspecified */
  int16_t port_index;
  int16_t channel;
  int16_t key;
  double velocity;
} clap_event_note_t;

/* A parameter's new plain value. note_id, port_index, channel and key of -1
 * address every voice. */
typedef struct clap_event_param_value {
  clap_event_header_t header;
  clap_id param_id;
  void* cookie;
  int32_t note_id;
  int16_t port_index;
  int16_t channel;
  int16_t key;
  double value;
} clap_event_param_value_t;

typedef struct clap_event_param_mod {
  clap_event_header_t header;
  clap_id param_id;
  void* cookie;
  int32_t note_id;
  int16_t port_index;
  int16_t channel;
  int16_t key;
  double amount;
} clap_event_param_mod_t;

typedef struct clap_event_param_gesture {
  clap_event_header_t header;
  clap_id param_id;
} clap_event_param_gesture_t;

enum {
  CLAP_TRANSPORT_HAS_TEMPO = 1 << 0,
  CLAP_TRANSPORT_HAS_BEATS_TIMELINE = 1 << 1,
  CLAP_TRANSPORT_HAS_SECONDS_TIMELINE = 1 << 2,
  CLAP_TRANSPORT_HAS_TIME_SIGNATURE = 1 << 3,
  CLAP_TRANSPORT_IS_PLAYING = 1 << 4,
  CLAP_TRANSPORT_IS_RECORDING = 1 << 5,
  CLAP_TRANSPORT_IS_LOOP_ACTIVE = 1 << 6,
  CLAP_TRANSPORT_IS_WITHIN_PRE_ROLL = 1 << 7,
};

typedef struct clap_event_transport {
  clap_event_header_t header;
  uint32_t flags; /* CLAP_TRANSPORT_* */
  clap_beattime song_pos_beats;
  clap_sectime song_pos_seconds;
  double tempo;     /* beats per minute */
  double tempo_inc; /* per sample */
  clap_beattime loop_start_beats;
  clap_beattime loop_end_beats;
  clap_sectime loop_start_seconds;
  clap_sectime loop_end_seconds;
  clap_beattime bar_start;
  int32_t bar_number; /* counting from 0 */
  uint16_t tsig_num;
  uint16_t tsig_denom;
} clap_event_transport_t;

/* ---- Lists ------------------------------------------------------------ */

typedef struct clap_input_events {
  void* ctx;
  uint32_t (*size)(const struct clap_input_events* list);
  /* NULL for an index past the end. The event stays owned by the host. */
  const clap_event_header_t* (*get)(const struct clap_input_events* list, uint32_t index);
} clap_input_events_t;

typedef struct clap_output_events {
  void* ctx;
  /* The host copies the event; false when it could not take it. */
  bool (*try_push)(const struct clap_output_events* list, const clap_event_header_t* event);
} clap_output_events_t;

/* ---- Layout checks ---------------------------------------------------- */

#if UINTPTR_MAX == 0xffffffffffffffffu
KREVLO_CLAP_ASSERT(sizeof(clap_event_header_t) == 16 && KREVLO_CLAP_ALIGNOF(clap_event_header_t) == 4,
                   "clap_event_header_t");
KREVLO_CLAP_ASSERT(offsetof(clap_event_header_t, time) == 4 && offsetof(clap_event_header_t, space_id) == 8 &&
                       offsetof(clap_event_header_t, type) == 10 && offsetof(clap_event_header_t, flags) == 12,
                   "clap_event_header_t");

KREVLO_CLAP_ASSERT(sizeof(clap_event_note_t) == 40 && KREVLO_CLAP_ALIGNOF(clap_event_note_t) == 8, "clap_event_note_t");
KREVLO_CLAP_ASSERT(offsetof(clap_event_note_t, note_id) == 16 && offsetof(clap_event_note_t, port_index) == 20 &&
                       offsetof(clap_event_note_t, channel) == 22 && offsetof(clap_event_note_t, key) == 24 &&
                       offsetof(clap_event_note_t, velocity) == 32,
                   "clap_event_note_t");

KREVLO_CLAP_ASSERT(sizeof(clap_event_param_value_t) == 56 && KREVLO_CLAP_ALIGNOF(clap_event_param_value_t) == 8,
                   "clap_event_param_value_t");
KREVLO_CLAP_ASSERT(offsetof(clap_event_param_value_t, param_id) == 16 &&
                       offsetof(clap_event_param_value_t, cookie) == 24 &&
                       offsetof(clap_event_param_value_t, note_id) == 32 &&
                       offsetof(clap_event_param_value_t, port_index) == 36 &&
                       offsetof(clap_event_param_value_t, channel) == 38 &&
                       offsetof(clap_event_param_value_t, key) == 40 && offsetof(clap_event_param_value_t, value) == 48,
                   "clap_event_param_value_t");

KREVLO_CLAP_ASSERT(sizeof(clap_event_param_mod_t) == 56 && KREVLO_CLAP_ALIGNOF(clap_event_param_mod_t) == 8 &&
                       offsetof(clap_event_param_mod_t, amount) == 48,
                   "clap_event_param_mod_t");

KREVLO_CLAP_ASSERT(sizeof(clap_event_param_gesture_t) == 20 && KREVLO_CLAP_ALIGNOF(clap_event_param_gesture_t) == 4 &&
                       offsetof(clap_event_param_gesture_t, param_id) == 16,
                   "clap_event_param_gesture_t");

KREVLO_CLAP_ASSERT(sizeof(clap_event_transport_t) == 104 && KREVLO_CLAP_ALIGNOF(clap_event_transport_t) == 8,
                   "clap_event_transport_t");
KREVLO_CLAP_ASSERT(offsetof(clap_event_transport_t, flags) == 16 &&
                       offsetof(clap_event_transport_t, song_pos_beats) == 24 &&
                       offsetof(clap_event_transport_t, song_pos_seconds) == 32 &&
                       offsetof(clap_event_transport_t, tempo) == 40 &&
                       offsetof(clap_event_transport_t, tempo_inc) == 48 &&
                       offsetof(clap_event_transport_t, loop_start_beats) == 56 &&
                       offsetof(clap_event_transport_t, loop_end_beats) == 64 &&
                       offsetof(clap_event_transport_t, loop_start_seconds) == 72 &&
                       offsetof(clap_event_transport_t, loop_end_seconds) == 80 &&
                       offsetof(clap_event_transport_t, bar_start) == 88 &&
                       offsetof(clap_event_transport_t, bar_number) == 96 &&
                       offsetof(clap_event_transport_t, tsig_num) == 100 &&
                       offsetof(clap_event_transport_t, tsig_denom) == 102,
                   "clap_event_transport_t");

KREVLO_CLAP_ASSERT(sizeof(clap_input_events_t) == 24 && KREVLO_CLAP_ALIGNOF(clap_input_events_t) == 8 &&
                       offsetof(clap_input_events_t, size) == 8 && offsetof(clap_input_events_t, get) == 16,
                   "clap_input_events_t");
KREVLO_CLAP_ASSERT(sizeof(clap_output_events_t) == 16 && KREVLO_CLAP_ALIGNOF(clap_output_events_t) == 8 &&
                       offsetof(clap_output_events_t, try_push) == 8,
                   "clap_output_events_t");
#endif

#ifdef __cplusplus
}
#endif

#endif
