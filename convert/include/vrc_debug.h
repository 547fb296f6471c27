/* Levelled diagnostic log: one coloured line per call, written to standard
 * output and to a 16384-byte in-memory ring that hosts copy out. */
#ifndef VRC_DEBUG_H
#define VRC_DEBUG_H

#include "vrc_export.h"

VRC_BEGIN_DECLS

#define VRC_LOG_ERR 0
#define VRC_LOG_WARN 1
#define VRC_LOG_INFO 2
#define VRC_LOG_DEBUG 3

/* ANSI colour prefix of each level, indexed by level. */
VRC_API extern const char *const vrc_level_color[4];

/* Formats one line "<colour>[hh:mm:ss.mmm LEVEL file:line]message". Lines
 * above the threshold are dropped; a line is cut to 1023 bytes. */
VRC_API void vrc_log_msg(int level, const char *file, int line, const char *format, ...)
#if defined(__MINGW32__)
    /* The library formats with MinGW's C99 printf (%zu, %lld), whatever the
     * caller's own printf is. */
    __attribute__((format(gnu_printf, 4, 5)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

/* Threshold: lines with a level above it are dropped (level & 3). */
VRC_API void vrc_log_set_level(int level);

/* Copies the ring's text, oldest byte first, into dst (at most size - 1
 * bytes and a terminating zero). Returns the bytes copied, or -1. */
VRC_API int vrc_log_copy(char *dst, int size);

VRC_END_DECLS

#endif
