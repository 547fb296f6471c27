/* Re-entrant mutexes owned by the locking thread. A zero vrc_mutex_t is a
 * valid, not yet created mutex: its first lock creates it. */
#ifndef VRC_MUTEX_H
#define VRC_MUTEX_H

#include "vrc_export.h"

VRC_BEGIN_DECLS

/* Holds the platform mutex handle; zero means "not created yet". */
typedef void *vrc_mutex_t;

VRC_API int vrc_mutex_init(vrc_mutex_t *mutex);
VRC_API int vrc_mutex_destroy(vrc_mutex_t *mutex);
VRC_API int vrc_mutex_lock(vrc_mutex_t *mutex);
VRC_API int vrc_mutex_trylock(vrc_mutex_t *mutex);
VRC_API int vrc_mutex_timedlock(vrc_mutex_t *mutex, int timeout_ms);
VRC_API int vrc_mutex_unlock(vrc_mutex_t *mutex);

VRC_END_DECLS

#endif
