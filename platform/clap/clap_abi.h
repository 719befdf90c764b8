/* Our own declarations of the CLAP binary interface, C-compatible, LP64.
 * Grown section by section as the hosting code needs more of it; every record
 * carries static_asserts on its size and offsets so a slip shows at compile time.
 *
 * Threads are stated per function: [main-thread] means the host's main thread,
 * [thread-safe] any thread. */
#ifndef KREVLO_CLAP_ABI_H
#define KREVLO_CLAP_ABI_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define KREVLO_CLAP_ASSERT(cond, msg) static_assert(cond, msg)
#define KREVLO_CLAP_ALIGNOF(type) alignof(type)
#else
#define KREVLO_CLAP_ASSERT(cond, msg) _Static_assert(cond, msg)
#define KREVLO_CLAP_ALIGNOF(type) _Alignof(type)
#endif

#define CLAP_EXPORT __attribute__((visibility("default")))

/* ---- Version ---------------------------------------------------------- */

typedef struct clap_version {
  uint32_t major;
  uint32_t minor;
  uint32_t revision;
} clap_version_t;

/* What our host reports to plug-ins. */
#define CLAP_VERSION_MAJOR 1
#define CLAP_VERSION_MINOR 2
#define CLAP_VERSION_REVISION 9
#define CLAP_VERSION_INIT {CLAP_VERSION_MAJOR, CLAP_VERSION_MINOR, CLAP_VERSION_REVISION}

/* ---- Records completed in later sections ------------------------------ */

typedef struct clap_plugin clap_plugin_t;
typedef struct clap_host clap_host_t;

/* ---- Plug-in descriptor ----------------------------------------------- */

typedef struct clap_plugin_descriptor {
  clap_version_t clap_version;
  const char* id;          /* required, unique within the factory */
  const char* name;
  const char* vendor;
  const char* url;
  const char* manual_url;
  const char* support_url;
  const char* version;
  const char* description;
  const char* const* features; /* NULL-terminated list */
} clap_plugin_descriptor_t;

#define CLAP_PLUGIN_FEATURE_INSTRUMENT "instrument"
#define CLAP_PLUGIN_FEATURE_AUDIO_EFFECT "audio-effect"
#define CLAP_PLUGIN_FEATURE_STEREO "stereo"

/* ---- Plug-in factory -------------------------------------------------- */

#define CLAP_PLUGIN_FACTORY_ID "clap.plugin-factory"

typedef struct clap_plugin_factory {
  /* [thread-safe] */
  uint32_t (*get_plugin_count)(const struct clap_plugin_factory* factory);
  /* [thread-safe]; NULL for an index it does not know */
  const clap_plugin_descriptor_t* (*get_plugin_descriptor)(const struct clap_plugin_factory* factory,
                                                           uint32_t index);
  /* [main-thread]; NULL when the id is unknown or creation failed */
  const clap_plugin_t* (*create_plugin)(const struct clap_plugin_factory* factory, const clap_host_t* host,
                                        const char* plugin_id);
} clap_plugin_factory_t;

/* ---- Entry ------------------------------------------------------------ */

/* The exported data symbol "clap_entry" of every .clap file. */
typedef struct clap_plugin_entry {
  clap_version_t clap_version;
  /* Once, before anything else; false refuses the whole file. */
  bool (*init)(const char* plugin_path);
  void (*deinit)(void);
  /* [thread-safe]; NULL when the factory is not provided */
  const void* (*get_factory)(const char* factory_id);
} clap_plugin_entry_t;

/* ---- Layout checks ---------------------------------------------------- */

#if UINTPTR_MAX == 0xffffffffffffffffu
KREVLO_CLAP_ASSERT(sizeof(clap_version_t) == 12 && KREVLO_CLAP_ALIGNOF(clap_version_t) == 4, "clap_version_t");
KREVLO_CLAP_ASSERT(offsetof(clap_version_t, minor) == 4 && offsetof(clap_version_t, revision) == 8, "clap_version_t");

KREVLO_CLAP_ASSERT(sizeof(clap_plugin_entry_t) == 40 && KREVLO_CLAP_ALIGNOF(clap_plugin_entry_t) == 8, "clap_plugin_entry_t");
KREVLO_CLAP_ASSERT(offsetof(clap_plugin_entry_t, init) == 16 && offsetof(clap_plugin_entry_t, deinit) == 24 &&
                       offsetof(clap_plugin_entry_t, get_factory) == 32,
                   "clap_plugin_entry_t");

KREVLO_CLAP_ASSERT(sizeof(clap_plugin_factory_t) == 24 && KREVLO_CLAP_ALIGNOF(clap_plugin_factory_t) == 8, "clap_plugin_factory_t");
KREVLO_CLAP_ASSERT(offsetof(clap_plugin_factory_t, get_plugin_descriptor) == 8 &&
                       offsetof(clap_plugin_factory_t, create_plugin) == 16,
                   "clap_plugin_factory_t");

KREVLO_CLAP_ASSERT(sizeof(clap_plugin_descriptor_t) == 88 && KREVLO_CLAP_ALIGNOF(clap_plugin_descriptor_t) == 8,
                   "clap_plugin_descriptor_t");
KREVLO_CLAP_ASSERT(offsetof(clap_plugin_descriptor_t, id) == 16 && offsetof(clap_plugin_descriptor_t, name) == 24 &&
                       offsetof(clap_plugin_descriptor_t, vendor) == 32 &&
                       offsetof(clap_plugin_descriptor_t, url) == 40 &&
                       offsetof(clap_plugin_descriptor_t, manual_url) == 48 &&
                       offsetof(clap_plugin_descriptor_t, support_url) == 56 &&
                       offsetof(clap_plugin_descriptor_t, version) == 64 &&
                       offsetof(clap_plugin_descriptor_t, description) == 72 &&
                       offsetof(clap_plugin_descriptor_t, features) == 80,
                   "clap_plugin_descriptor_t");
#endif

#ifdef __cplusplus
}
#endif

#endif
