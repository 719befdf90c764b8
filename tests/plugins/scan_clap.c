/* A CLAP file for examination tests. SCAN_KIND picks its behaviour:
 *   SCAN_FX          one stereo audio effect
 *   SCAN_ODD         descriptors that the probe must skip or patch up
 *   SCAN_SYNTH       an instrument only
 *   SCAN_CRASH       dies by a signal in init
 *   SCAN_HANG        never returns from init
 *   SCAN_EXIT        calls exit(3) in init
 *   SCAN_EMPTY       a factory without plug-ins
 *   SCAN_NOFACTORY   no plug-in factory
 *   SCAN_BADVERSION  clap_entry with major version 0
 *   SCAN_INITFAIL    init refuses
 *   SCAN_NOENTRY     no clap_entry at all
 *   SCAN_CHILD       starts a child process (its pid goes to the file named by
 *                    KREVLO_SCAN_CHILD_PID) and then never returns from init */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/clap/clap_abi.h"

#define SCAN_FX 1
#define SCAN_ODD 2
#define SCAN_SYNTH 3
#define SCAN_CRASH 4
#define SCAN_HANG 5
#define SCAN_EXIT 6
#define SCAN_EMPTY 7
#define SCAN_NOFACTORY 8
#define SCAN_BADVERSION 9
#define SCAN_INITFAIL 10
#define SCAN_NOENTRY 11
#define SCAN_CHILD 12

#if SCAN_KIND != SCAN_NOENTRY

#if SCAN_KIND != SCAN_NOFACTORY
#if SCAN_KIND == SCAN_SYNTH || SCAN_KIND == SCAN_ODD
static const char* const synthFeatures[] = {CLAP_PLUGIN_FEATURE_INSTRUMENT, CLAP_PLUGIN_FEATURE_STEREO, NULL};
#endif
#if SCAN_KIND != SCAN_SYNTH
static const char* const effectFeatures[] = {CLAP_PLUGIN_FEATURE_AUDIO_EFFECT, CLAP_PLUGIN_FEATURE_STEREO, NULL};
#endif
#if SCAN_KIND == SCAN_ODD
static const char* const lateEffectFeatures[] = {CLAP_PLUGIN_FEATURE_STEREO, "delay", CLAP_PLUGIN_FEATURE_AUDIO_EFFECT,
                                                 NULL};
#endif

static const clap_plugin_descriptor_t descriptors[] = {
#if SCAN_KIND == SCAN_ODD
    /* no name, vendor or version */
    {CLAP_VERSION_INIT, "org.krevlo.test.nameless", NULL, NULL, NULL, NULL, NULL, NULL, NULL, effectFeatures},
    {CLAP_VERSION_INIT, "org.krevlo.test.synth", "Odd Synth", "Krevlo Tests", NULL, NULL, NULL, "1", NULL,
     synthFeatures},
    {CLAP_VERSION_INIT, NULL, "No Id", "Krevlo Tests", NULL, NULL, NULL, "1", NULL, effectFeatures},
    {CLAP_VERSION_INIT, "org.krevlo.test.nofeatures", "No Features", "Krevlo Tests", NULL, NULL, NULL, "1", NULL,
     NULL},
    /* a name that is not UTF-8 */
    {CLAP_VERSION_INIT, "org.krevlo.test.late", "Late \xff Effect", "Krevlo Tests", NULL, NULL, NULL, "2.5", NULL,
     lateEffectFeatures},
#elif SCAN_KIND == SCAN_SYNTH
    {CLAP_VERSION_INIT, "org.krevlo.test.scan-synth", "Scan Synth", "Krevlo Tests", NULL, NULL, NULL, "1.0.0", NULL,
     synthFeatures},
#else
    {CLAP_VERSION_INIT, "org.krevlo.test.scan-fx", "Scan Fx", "Krevlo Tests", NULL, NULL, NULL, "1.0.0", NULL,
     effectFeatures},
#endif
};

static uint32_t pluginCount(const clap_plugin_factory_t* self) {
  (void)self;
#if SCAN_KIND == SCAN_EMPTY
  return 0;
#elif SCAN_KIND == SCAN_ODD
  return (uint32_t)(sizeof descriptors / sizeof descriptors[0]) + 1; /* one more: NULL */
#else
  return (uint32_t)(sizeof descriptors / sizeof descriptors[0]);
#endif
}

static const clap_plugin_descriptor_t* pluginDescriptor(const clap_plugin_factory_t* self, uint32_t index) {
  (void)self;
  if (index >= sizeof descriptors / sizeof descriptors[0]) return NULL;
  return &descriptors[index];
}

static const clap_plugin_t* createPlugin(const clap_plugin_factory_t* self, const clap_host_t* host,
                                         const char* id) {
  (void)self;
  (void)host;
  (void)id;
  return NULL;
}

static const clap_plugin_factory_t factory = {pluginCount, pluginDescriptor, createPlugin};
#endif

static bool entryInit(const char* path) {
  (void)path;
#if SCAN_KIND == SCAN_CRASH
  __builtin_trap(); /* SIGILL, which no sanitizer runtime intercepts */
#elif SCAN_KIND == SCAN_HANG
  for (;;) pause();
#elif SCAN_KIND == SCAN_EXIT
  exit(3);
#elif SCAN_KIND == SCAN_CHILD
  const pid_t child = fork();
  if (child == 0) {
    execl("/bin/sleep", "sleep", "600", (char*)NULL);
    _exit(127);
  }
  const char* file = getenv("KREVLO_SCAN_CHILD_PID");
  if (file && child > 0) {
    FILE* out = fopen(file, "w");
    if (out) {
      fprintf(out, "%d", (int)child);
      fclose(out);
    }
  }
  for (;;) pause();
#endif
  return SCAN_KIND != SCAN_INITFAIL;
}

static void entryDeinit(void) {}

static const void* entryFactory(const char* id) {
#if SCAN_KIND == SCAN_NOFACTORY
  (void)id;
  return NULL;
#else
  return strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0 ? &factory : NULL;
#endif
}

#if SCAN_KIND == SCAN_BADVERSION
CLAP_EXPORT const clap_plugin_entry_t clap_entry = {{0, 9, 0}, entryInit, entryDeinit, entryFactory};
#else
CLAP_EXPORT const clap_plugin_entry_t clap_entry = {CLAP_VERSION_INIT, entryInit, entryDeinit, entryFactory};
#endif

#else
/* A shared object without clap_entry. */
CLAP_EXPORT int scan_not_a_plugin = 1;
#endif
