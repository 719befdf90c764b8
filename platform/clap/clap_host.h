/* Our own declaration of the CLAP host record, C-compatible, LP64.
 * What a plug-in sees of its host; it may call every function from any thread. */
#ifndef KREVLO_CLAP_HOST_H
#define KREVLO_CLAP_HOST_H

#include "platform/clap/clap_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

struct clap_host {
  clap_version_t clap_version;
  void* host_data; /* the host's own */
  const char* name;
  const char* vendor;
  const char* url;
  const char* version;

  /* [thread-safe] NULL when the extension is not provided. */
  const void* (*get_extension)(const struct clap_host* host, const char* extension_id);
  /* [thread-safe] Asks for deactivate and activate again. */
  void (*request_restart)(const struct clap_host* host);
  /* [thread-safe] Asks for processing to be started. */
  void (*request_process)(const struct clap_host* host);
  /* [thread-safe] Asks for on_main_thread to be called on the main thread. */
  void (*request_callback)(const struct clap_host* host);
};

#if UINTPTR_MAX == 0xffffffffffffffffu
KREVLO_CLAP_ASSERT(sizeof(clap_host_t) == 88 && KREVLO_CLAP_ALIGNOF(clap_host_t) == 8, "clap_host_t");
KREVLO_CLAP_ASSERT(offsetof(clap_host_t, host_data) == 16 && offsetof(clap_host_t, name) == 24 &&
                       offsetof(clap_host_t, vendor) == 32 && offsetof(clap_host_t, url) == 40 &&
                       offsetof(clap_host_t, version) == 48 && offsetof(clap_host_t, get_extension) == 56 &&
                       offsetof(clap_host_t, request_restart) == 64 && offsetof(clap_host_t, request_process) == 72 &&
                       offsetof(clap_host_t, request_callback) == 80,
                   "clap_host_t");
#endif

#ifdef __cplusplus
}
#endif

#endif
