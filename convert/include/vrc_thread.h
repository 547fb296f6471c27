/* Detached threads with one of seven priority steps. */
#ifndef VRC_THREAD_H
#define VRC_THREAD_H

#include <stdint.h>

#include "vrc_export.h"

VRC_BEGIN_DECLS

#if defined(_WIN32)
#  define VRC_THREAD_CALL __stdcall
#else
#  define VRC_THREAD_CALL
#endif

/* The platform's thread-entry form: one pointer argument, a 32-bit exit code. */
typedef uint32_t(VRC_THREAD_CALL *vrc_thread_routine_t)(void *context);

/* Opaque value in the caller's storage; nothing is stored in it. */
typedef uint64_t vrc_thread_t;

typedef struct vrc_thread_attr_t {
    int32_t tag;        /* caller's word; vrc_thread_spawn refuses 0 */
    int32_t priority;   /* 0 normal, 1 (most urgent) to 100; replaced by the platform priority chosen */
    int32_t stack_size; /* bytes, 0 for the platform default */
} vrc_thread_attr_t;

/* Platform priorities that vrc_thread_create writes back into the attributes. */
#define VRC_THREAD_PRIORITY_TIME_CRITICAL 15
#define VRC_THREAD_PRIORITY_HIGHEST 2
#define VRC_THREAD_PRIORITY_ABOVE_NORMAL 1
#define VRC_THREAD_PRIORITY_NORMAL 0
#define VRC_THREAD_PRIORITY_BELOW_NORMAL (-1)
#define VRC_THREAD_PRIORITY_LOWEST (-2)
#define VRC_THREAD_PRIORITY_IDLE (-15)

VRC_API int vrc_thread_create(vrc_thread_t *thread, vrc_thread_attr_t *attr,
                              vrc_thread_routine_t routine, void *context);
VRC_API int vrc_thread_spawn(vrc_thread_t *thread, int32_t tag, int32_t priority,
                             int32_t stack_size, vrc_thread_routine_t routine, void *context);
VRC_API int vrc_thread_detach(vrc_thread_t thread);

VRC_END_DECLS

#endif
