/* Our own declarations of the two CLAP extensions through which a plug-in's
 * editor on Linux uses the host's main loop: periodic timers and POSIX file
 * descriptors. C-compatible, LP64. */
#ifndef KREVLO_CLAP_LOOP_H
#define KREVLO_CLAP_LOOP_H

#include "platform/clap/clap_events.h"
#include "platform/clap/clap_host.h"
#include "platform/clap/clap_plugin.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CLAP_EXT_TIMER_SUPPORT "clap.timer-support"
#define CLAP_EXT_POSIX_FD_SUPPORT "clap.posix-fd-support"

typedef struct clap_plugin_timer_support {
  /* [main-thread] */
  void (*on_timer)(const clap_plugin_t* plugin, clap_id timer_id);
} clap_plugin_timer_support_t;

typedef struct clap_host_timer_support {
  /* [main-thread] */
  bool (*register_timer)(const clap_host_t* host, uint32_t period_ms, clap_id* timer_id);
  /* [main-thread] */
  bool (*unregister_timer)(const clap_host_t* host, clap_id timer_id);
} clap_host_timer_support_t;

typedef uint32_t clap_posix_fd_flags_t;
enum {
  CLAP_POSIX_FD_READ = 1 << 0,
  CLAP_POSIX_FD_WRITE = 1 << 1,
  CLAP_POSIX_FD_ERROR = 1 << 2,
};

typedef struct clap_plugin_posix_fd_support {
  /* [main-thread] */
  void (*on_fd)(const clap_plugin_t* plugin, int fd, clap_posix_fd_flags_t flags);
} clap_plugin_posix_fd_support_t;

typedef struct clap_host_posix_fd_support {
  /* [main-thread] */
  bool (*register_fd)(const clap_host_t* host, int fd, clap_posix_fd_flags_t flags);
  /* [main-thread] */
  bool (*modify_fd)(const clap_host_t* host, int fd, clap_posix_fd_flags_t flags);
  /* [main-thread] */
  bool (*unregister_fd)(const clap_host_t* host, int fd);
} clap_host_posix_fd_support_t;

KREVLO_CLAP_ASSERT(sizeof(clap_plugin_timer_support_t) == 8, "clap_plugin_timer_support_t");
KREVLO_CLAP_ASSERT(sizeof(clap_host_timer_support_t) == 16 &&
                       offsetof(clap_host_timer_support_t, unregister_timer) == 8,
                   "clap_host_timer_support_t");
KREVLO_CLAP_ASSERT(sizeof(clap_plugin_posix_fd_support_t) == 8, "clap_plugin_posix_fd_support_t");
KREVLO_CLAP_ASSERT(sizeof(clap_host_posix_fd_support_t) == 24 &&
                       offsetof(clap_host_posix_fd_support_t, modify_fd) == 8 &&
                       offsetof(clap_host_posix_fd_support_t, unregister_fd) == 16,
                   "clap_host_posix_fd_support_t");

#ifdef __cplusplus
}
#endif

#endif
