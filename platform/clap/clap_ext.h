/* Our own declarations of the CLAP extensions this system uses, C-compatible,
 * LP64: the plug-in side (asked with clap_plugin.get_extension) and the host side
 * (asked with clap_host.get_extension). Every table is a set of function pointers
 * that stays valid for the life of the instance that gave it. */
#ifndef KREVLO_CLAP_EXT_H
#define KREVLO_CLAP_EXT_H

#include "platform/clap/clap_events.h"
#include "platform/clap/clap_host.h"
#include "platform/clap/clap_plugin.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CLAP_NAME_SIZE 256
#define CLAP_PATH_SIZE 1024

/* ---- Parameters: "clap.params" ---------------------------------------- */

#define CLAP_EXT_PARAMS "clap.params"

enum {
  CLAP_PARAM_IS_STEPPED = 1 << 0,
  CLAP_PARAM_IS_PERIODIC = 1 << 1,
  CLAP_PARAM_IS_HIDDEN = 1 << 2,
  CLAP_PARAM_IS_READONLY = 1 << 3,
  CLAP_PARAM_IS_BYPASS = 1 << 4,
  CLAP_PARAM_IS_AUTOMATABLE = 1 << 5,
  CLAP_PARAM_IS_AUTOMATABLE_PER_NOTE_ID = 1 << 6,
  CLAP_PARAM_IS_AUTOMATABLE_PER_KEY = 1 << 7,
  CLAP_PARAM_IS_AUTOMATABLE_PER_CHANNEL = 1 << 8,
  CLAP_PARAM_IS_AUTOMATABLE_PER_PORT = 1 << 9,
  CLAP_PARAM_IS_MODULATABLE = 1 << 10,
  CLAP_PARAM_IS_MODULATABLE_PER_NOTE_ID = 1 << 11,
  CLAP_PARAM_IS_MODULATABLE_PER_KEY = 1 << 12,
  CLAP_PARAM_IS_MODULATABLE_PER_CHANNEL = 1 << 13,
  CLAP_PARAM_IS_MODULATABLE_PER_PORT = 1 << 14,
  CLAP_PARAM_REQUIRES_PROCESS = 1 << 15,
  CLAP_PARAM_IS_ENUM = 1 << 16,
};
typedef uint32_t clap_param_info_flags;

typedef struct clap_param_info {
  clap_id id;
  clap_param_info_flags flags;
  void* cookie;
  char name[CLAP_NAME_SIZE];
  char module[CLAP_PATH_SIZE];
  double min_value;
  double max_value;
  double default_value;
} clap_param_info_t;

typedef struct clap_plugin_params {
  /* [main-thread] */
  uint32_t (*count)(const clap_plugin_t* plugin);
  /* [main-thread] false for an index it does not know */
  bool (*get_info)(const clap_plugin_t* plugin, uint32_t param_index, clap_param_info_t* param_info);
  /* [main-thread] the plain value */
  bool (*get_value)(const clap_plugin_t* plugin, clap_id param_id, double* out_value);
  /* [main-thread] writes at most out_buffer_capacity bytes */
  bool (*value_to_text)(const clap_plugin_t* plugin, clap_id param_id, double value, char* out_buffer,
                        uint32_t out_buffer_capacity);
  /* [main-thread] */
  bool (*text_to_value)(const clap_plugin_t* plugin, clap_id param_id, const char* param_value_text,
                        double* out_value);
  /* [active ? audio-thread : main-thread] parameter events outside process */
  void (*flush)(const clap_plugin_t* plugin, const clap_input_events_t* in, const clap_output_events_t* out);
} clap_plugin_params_t;

enum {
  CLAP_PARAM_RESCAN_VALUES = 1 << 0,
  CLAP_PARAM_RESCAN_TEXT = 1 << 1,
  CLAP_PARAM_RESCAN_INFO = 1 << 2,
  CLAP_PARAM_RESCAN_ALL = 1 << 3,
};
typedef uint32_t clap_param_rescan_flags;

enum {
  CLAP_PARAM_CLEAR_ALL = 1 << 0,
  CLAP_PARAM_CLEAR_AUTOMATIONS = 1 << 1,
  CLAP_PARAM_CLEAR_MODULATIONS = 1 << 2,
};
typedef uint32_t clap_param_clear_flags;

typedef struct clap_host_params {
  /* [main-thread] */
  void (*rescan)(const clap_host_t* host, clap_param_rescan_flags flags);
  /* [main-thread] */
  void (*clear)(const clap_host_t* host, clap_id param_id, clap_param_clear_flags flags);
  /* [thread-safe] */
  void (*request_flush)(const clap_host_t* host);
} clap_host_params_t;

/* ---- State: "clap.state" ---------------------------------------------- */

#define CLAP_EXT_STATE "clap.state"

/* Streams may move fewer bytes than asked; callers loop. */
typedef struct clap_istream {
  void* ctx;
  /* bytes read, 0 at the end, -1 on error */
  int64_t (*read)(const struct clap_istream* stream, void* buffer, uint64_t size);
} clap_istream_t;

typedef struct clap_ostream {
  void* ctx;
  /* bytes written, -1 on error */
  int64_t (*write)(const struct clap_ostream* stream, const void* buffer, uint64_t size);
} clap_ostream_t;

typedef struct clap_plugin_state {
  /* [main-thread] */
  bool (*save)(const clap_plugin_t* plugin, const clap_ostream_t* stream);
  /* [main-thread] */
  bool (*load)(const clap_plugin_t* plugin, const clap_istream_t* stream);
} clap_plugin_state_t;

typedef struct clap_host_state {
  /* [main-thread] the state changed and should be saved again */
  void (*mark_dirty)(const clap_host_t* host);
} clap_host_state_t;

/* ---- Latency: "clap.latency" ------------------------------------------ */

#define CLAP_EXT_LATENCY "clap.latency"

typedef struct clap_plugin_latency {
  /* [main-thread] in samples; only while active */
  uint32_t (*get)(const clap_plugin_t* plugin);
} clap_plugin_latency_t;

typedef struct clap_host_latency {
  /* [main-thread] */
  void (*changed)(const clap_host_t* host);
} clap_host_latency_t;

/* ---- Tail: "clap.tail" ------------------------------------------------ */

#define CLAP_EXT_TAIL "clap.tail"

typedef struct clap_plugin_tail {
  /* [main-thread, audio-thread] in samples; UINT32_MAX for an infinite tail */
  uint32_t (*get)(const clap_plugin_t* plugin);
} clap_plugin_tail_t;

/* ---- Audio ports: "clap.audio-ports" ---------------------------------- */

#define CLAP_EXT_AUDIO_PORTS "clap.audio-ports"
#define CLAP_PORT_MONO "mono"
#define CLAP_PORT_STEREO "stereo"

enum {
  CLAP_AUDIO_PORT_IS_MAIN = 1 << 0,
  CLAP_AUDIO_PORT_SUPPORTS_64BITS = 1 << 1,
  CLAP_AUDIO_PORT_PREFERS_64BITS = 1 << 2,
  CLAP_AUDIO_PORT_REQUIRES_COMMON_SAMPLE_SIZE = 1 << 3,
};

typedef struct clap_audio_port_info {
  clap_id id;
  char name[CLAP_NAME_SIZE];
  uint32_t flags;
  uint32_t channel_count;
  const char* port_type; /* CLAP_PORT_*, or NULL */
  clap_id in_place_pair; /* CLAP_INVALID_ID when none */
} clap_audio_port_info_t;

typedef struct clap_plugin_audio_ports {
  /* [main-thread] */
  uint32_t (*count)(const clap_plugin_t* plugin, bool is_input);
  /* [main-thread] false for an index it does not know */
  bool (*get)(const clap_plugin_t* plugin, uint32_t index, bool is_input, clap_audio_port_info_t* info);
} clap_plugin_audio_ports_t;

enum {
  CLAP_AUDIO_PORTS_RESCAN_NAMES = 1 << 0,
  CLAP_AUDIO_PORTS_RESCAN_FLAGS = 1 << 1,
  CLAP_AUDIO_PORTS_RESCAN_CHANNEL_COUNT = 1 << 2,
  CLAP_AUDIO_PORTS_RESCAN_PORT_TYPE = 1 << 3,
  CLAP_AUDIO_PORTS_RESCAN_IN_PLACE_PAIR = 1 << 4,
  CLAP_AUDIO_PORTS_RESCAN_LIST = 1 << 5,
};

typedef struct clap_host_audio_ports {
  /* [main-thread] */
  bool (*is_rescan_flag_supported)(const clap_host_t* host, uint32_t flag);
  /* [main-thread] */
  void (*rescan)(const clap_host_t* host, uint32_t flags);
} clap_host_audio_ports_t;

/* ---- Editor: "clap.gui" ----------------------------------------------- */

#define CLAP_EXT_GUI "clap.gui"
#define CLAP_WINDOW_API_WIN32 "win32"
#define CLAP_WINDOW_API_COCOA "cocoa"
#define CLAP_WINDOW_API_X11 "x11"
#define CLAP_WINDOW_API_WAYLAND "wayland"

typedef struct clap_window {
  const char* api; /* CLAP_WINDOW_API_* */
  union {
    void* cocoa;         /* NSView* */
    unsigned long x11;   /* X11 Window id */
    void* win32;         /* HWND */
    void* ptr;
  };
} clap_window_t;

typedef struct clap_gui_resize_hints {
  bool can_resize_horizontally;
  bool can_resize_vertically;
  bool preserve_aspect_ratio;
  uint32_t aspect_ratio_width;
  uint32_t aspect_ratio_height;
} clap_gui_resize_hints_t;

/* Every function is [main-thread]. */
typedef struct clap_plugin_gui {
  bool (*is_api_supported)(const clap_plugin_t* plugin, const char* api, bool is_floating);
  bool (*get_preferred_api)(const clap_plugin_t* plugin, const char** api, bool* is_floating);
  bool (*create)(const clap_plugin_t* plugin, const char* api, bool is_floating);
  void (*destroy)(const clap_plugin_t* plugin);
  bool (*set_scale)(const clap_plugin_t* plugin, double scale);
  bool (*get_size)(const clap_plugin_t* plugin, uint32_t* width, uint32_t* height);
  bool (*can_resize)(const clap_plugin_t* plugin);
  bool (*get_resize_hints)(const clap_plugin_t* plugin, clap_gui_resize_hints_t* hints);
  bool (*adjust_size)(const clap_plugin_t* plugin, uint32_t* width, uint32_t* height);
  bool (*set_size)(const clap_plugin_t* plugin, uint32_t width, uint32_t height);
  bool (*set_parent)(const clap_plugin_t* plugin, const clap_window_t* window);
  bool (*set_transient)(const clap_plugin_t* plugin, const clap_window_t* window);
  void (*suggest_title)(const clap_plugin_t* plugin, const char* title);
  bool (*show)(const clap_plugin_t* plugin);
  bool (*hide)(const clap_plugin_t* plugin);
} clap_plugin_gui_t;

typedef struct clap_host_gui {
  /* [thread-safe & !floating] */
  void (*resize_hints_changed)(const clap_host_t* host);
  /* [thread-safe & !floating] true when the host will resize */
  bool (*request_resize)(const clap_host_t* host, uint32_t width, uint32_t height);
  /* [thread-safe] */
  bool (*request_show)(const clap_host_t* host);
  /* [thread-safe] */
  bool (*request_hide)(const clap_host_t* host);
  /* [thread-safe] the plug-in's window went away */
  void (*closed)(const clap_host_t* host, bool was_destroyed);
} clap_host_gui_t;

/* ---- Host only: "clap.log" and "clap.thread-check" -------------------- */

#define CLAP_EXT_LOG "clap.log"

typedef int32_t clap_log_severity;
enum {
  CLAP_LOG_DEBUG = 0,
  CLAP_LOG_INFO = 1,
  CLAP_LOG_WARNING = 2,
  CLAP_LOG_ERROR = 3,
  CLAP_LOG_FATAL = 4,
  CLAP_LOG_HOST_MISBEHAVING = 5,
  CLAP_LOG_PLUGIN_MISBEHAVING = 6,
};

typedef struct clap_host_log {
  /* [thread-safe] */
  void (*log)(const clap_host_t* host, clap_log_severity severity, const char* msg);
} clap_host_log_t;

#define CLAP_EXT_THREAD_CHECK "clap.thread-check"

typedef struct clap_host_thread_check {
  /* [thread-safe] */
  bool (*is_main_thread)(const clap_host_t* host);
  /* [thread-safe] */
  bool (*is_audio_thread)(const clap_host_t* host);
} clap_host_thread_check_t;

/* ---- Layout checks ---------------------------------------------------- */

#if UINTPTR_MAX == 0xffffffffffffffffu
KREVLO_CLAP_ASSERT(sizeof(clap_param_info_t) == 1320 && KREVLO_CLAP_ALIGNOF(clap_param_info_t) == 8,
                   "clap_param_info_t");
KREVLO_CLAP_ASSERT(offsetof(clap_param_info_t, flags) == 4 && offsetof(clap_param_info_t, cookie) == 8 &&
                       offsetof(clap_param_info_t, name) == 16 && offsetof(clap_param_info_t, module) == 272 &&
                       offsetof(clap_param_info_t, min_value) == 1296 &&
                       offsetof(clap_param_info_t, max_value) == 1304 &&
                       offsetof(clap_param_info_t, default_value) == 1312,
                   "clap_param_info_t");
KREVLO_CLAP_ASSERT(sizeof(clap_plugin_params_t) == 48 && KREVLO_CLAP_ALIGNOF(clap_plugin_params_t) == 8,
                   "clap_plugin_params_t");
KREVLO_CLAP_ASSERT(offsetof(clap_plugin_params_t, get_info) == 8 && offsetof(clap_plugin_params_t, get_value) == 16 &&
                       offsetof(clap_plugin_params_t, value_to_text) == 24 &&
                       offsetof(clap_plugin_params_t, text_to_value) == 32 &&
                       offsetof(clap_plugin_params_t, flush) == 40,
                   "clap_plugin_params_t");
KREVLO_CLAP_ASSERT(sizeof(clap_host_params_t) == 24 && KREVLO_CLAP_ALIGNOF(clap_host_params_t) == 8 &&
                       offsetof(clap_host_params_t, clear) == 8 && offsetof(clap_host_params_t, request_flush) == 16,
                   "clap_host_params_t");

KREVLO_CLAP_ASSERT(sizeof(clap_istream_t) == 16 && KREVLO_CLAP_ALIGNOF(clap_istream_t) == 8 &&
                       offsetof(clap_istream_t, read) == 8,
                   "clap_istream_t");
KREVLO_CLAP_ASSERT(sizeof(clap_ostream_t) == 16 && KREVLO_CLAP_ALIGNOF(clap_ostream_t) == 8 &&
                       offsetof(clap_ostream_t, write) == 8,
                   "clap_ostream_t");
KREVLO_CLAP_ASSERT(sizeof(clap_plugin_state_t) == 16 && KREVLO_CLAP_ALIGNOF(clap_plugin_state_t) == 8 &&
                       offsetof(clap_plugin_state_t, load) == 8,
                   "clap_plugin_state_t");
KREVLO_CLAP_ASSERT(sizeof(clap_host_state_t) == 8 && KREVLO_CLAP_ALIGNOF(clap_host_state_t) == 8, "clap_host_state_t");

KREVLO_CLAP_ASSERT(sizeof(clap_plugin_latency_t) == 8 && KREVLO_CLAP_ALIGNOF(clap_plugin_latency_t) == 8,
                   "clap_plugin_latency_t");
KREVLO_CLAP_ASSERT(sizeof(clap_host_latency_t) == 8 && KREVLO_CLAP_ALIGNOF(clap_host_latency_t) == 8,
                   "clap_host_latency_t");
KREVLO_CLAP_ASSERT(sizeof(clap_plugin_tail_t) == 8 && KREVLO_CLAP_ALIGNOF(clap_plugin_tail_t) == 8,
                   "clap_plugin_tail_t");

KREVLO_CLAP_ASSERT(sizeof(clap_audio_port_info_t) == 288 && KREVLO_CLAP_ALIGNOF(clap_audio_port_info_t) == 8,
                   "clap_audio_port_info_t");
KREVLO_CLAP_ASSERT(offsetof(clap_audio_port_info_t, name) == 4 && offsetof(clap_audio_port_info_t, flags) == 260 &&
                       offsetof(clap_audio_port_info_t, channel_count) == 264 &&
                       offsetof(clap_audio_port_info_t, port_type) == 272 &&
                       offsetof(clap_audio_port_info_t, in_place_pair) == 280,
                   "clap_audio_port_info_t");
KREVLO_CLAP_ASSERT(sizeof(clap_plugin_audio_ports_t) == 16 && KREVLO_CLAP_ALIGNOF(clap_plugin_audio_ports_t) == 8 &&
                       offsetof(clap_plugin_audio_ports_t, get) == 8,
                   "clap_plugin_audio_ports_t");
KREVLO_CLAP_ASSERT(sizeof(clap_host_audio_ports_t) == 16 && KREVLO_CLAP_ALIGNOF(clap_host_audio_ports_t) == 8 &&
                       offsetof(clap_host_audio_ports_t, rescan) == 8,
                   "clap_host_audio_ports_t");

KREVLO_CLAP_ASSERT(sizeof(clap_window_t) == 16 && KREVLO_CLAP_ALIGNOF(clap_window_t) == 8 &&
                       offsetof(clap_window_t, cocoa) == 8 && offsetof(clap_window_t, x11) == 8,
                   "clap_window_t");
KREVLO_CLAP_ASSERT(sizeof(clap_gui_resize_hints_t) == 12 && offsetof(clap_gui_resize_hints_t, aspect_ratio_width) == 4,
                   "clap_gui_resize_hints_t");
KREVLO_CLAP_ASSERT(sizeof(clap_plugin_gui_t) == 120 && KREVLO_CLAP_ALIGNOF(clap_plugin_gui_t) == 8,
                   "clap_plugin_gui_t");
KREVLO_CLAP_ASSERT(offsetof(clap_plugin_gui_t, get_preferred_api) == 8 && offsetof(clap_plugin_gui_t, create) == 16 &&
                       offsetof(clap_plugin_gui_t, destroy) == 24 && offsetof(clap_plugin_gui_t, set_scale) == 32 &&
                       offsetof(clap_plugin_gui_t, get_size) == 40 && offsetof(clap_plugin_gui_t, can_resize) == 48 &&
                       offsetof(clap_plugin_gui_t, get_resize_hints) == 56 &&
                       offsetof(clap_plugin_gui_t, adjust_size) == 64 && offsetof(clap_plugin_gui_t, set_size) == 72 &&
                       offsetof(clap_plugin_gui_t, set_parent) == 80 &&
                       offsetof(clap_plugin_gui_t, set_transient) == 88 &&
                       offsetof(clap_plugin_gui_t, suggest_title) == 96 && offsetof(clap_plugin_gui_t, show) == 104 &&
                       offsetof(clap_plugin_gui_t, hide) == 112,
                   "clap_plugin_gui_t");
KREVLO_CLAP_ASSERT(sizeof(clap_host_gui_t) == 40 && KREVLO_CLAP_ALIGNOF(clap_host_gui_t) == 8 &&
                       offsetof(clap_host_gui_t, request_resize) == 8 &&
                       offsetof(clap_host_gui_t, request_show) == 16 && offsetof(clap_host_gui_t, request_hide) == 24 &&
                       offsetof(clap_host_gui_t, closed) == 32,
                   "clap_host_gui_t");

KREVLO_CLAP_ASSERT(sizeof(clap_host_log_t) == 8 && KREVLO_CLAP_ALIGNOF(clap_host_log_t) == 8, "clap_host_log_t");
KREVLO_CLAP_ASSERT(sizeof(clap_host_thread_check_t) == 16 && KREVLO_CLAP_ALIGNOF(clap_host_thread_check_t) == 8 &&
                       offsetof(clap_host_thread_check_t, is_audio_thread) == 8,
                   "clap_host_thread_check_t");
#endif

#ifdef __cplusplus
}
#endif

#endif
