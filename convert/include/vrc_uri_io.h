/* Buffered file I/O: a 4096-byte buffer in front of a protocol (plain file
 * paths through stdio streams), with byte-order readers and writers.
 *
 * Reading handle (unread bytes are buf_cur..buf_end):
 *
 *   buffer          buf_cur            buf_end            buffer + buffer_size
 *   |----consumed----|======unread======|------free--------|
 *                                       ^ file position pos
 *   logical position = pos - (buf_end - buf_cur)
 *
 * Writing handle (pending bytes are buffer..max(buf_cur, buf_high)):
 *
 *   buffer                     buf_cur   buf_high          buf_end
 *   |=========pending==========|=========|------free--------|
 *   ^ lands at file position pos         (buf_end = buffer + buffer_size)
 *
 * Invariant: buffer <= buf_cur <= buf_end <= buffer + buffer_size.
 * A write error sticks in `error`: once non-zero, no buffered byte is
 * written again and every flush returns it. A failed read sticks there too.
 */
#ifndef VRC_URI_IO_H
#define VRC_URI_IO_H

#include <stdint.h>

#include "vrc_export.h"

VRC_BEGIN_DECLS

VRC_API extern const int VRC_URI_IO_FILE_BUFSIZE;
VRC_API extern const int VRC_URI_IO_FILE_READSIZE_ONCE;

#define VRC_URI_TYPE_UNKNOWN 0
#define VRC_URI_TYPE_UNIX_FS 1

/* How the library reads every path and URI handed to it on the calling
 * thread (conversion, both demuxers, the muxer, the probe, this layer) and
 * writes the system's reasons into its messages. On Windows
 * VRC_PATH_ENCODING_ANSI, the default, is the ANSI code page, as the narrow
 * C library reads paths; VRC_PATH_ENCODING_UTF8 reaches every name the file
 * system holds, whatever the code page. Elsewhere paths are bytes and both
 * mean the same. A thread's setting, rather than a flag per call, so that
 * one line covers every function that takes a path, and a part of the host
 * that still passes ANSI paths on its own threads keeps working. Returns the
 * thread's previous setting; -1 for another value, which changes nothing. */
#define VRC_PATH_ENCODING_ANSI 0
#define VRC_PATH_ENCODING_UTF8 1
VRC_API int vrc_uri_io_set_path_encoding(int encoding);

#define VRC_URI_IO_FLAG_READ 0
#define VRC_URI_IO_FLAG_WRITE 1
#define VRC_URI_IO_FLAG_APPEND 2

typedef struct vrc_uri_io_file_t {
    int write_mode;   /* flags given at creation; non-zero writes */
    int at_eof;       /* a refill met the end of the file; cleared by a seek */
    int64_t pos;      /* file position after the last transfer (see above) */
    uint32_t eof_pos; /* low 32 bits of end_pos, for hosts that read this field */
    int error;        /* sticky error: protocol result, or -1000 for a short write */
    void *handle;     /* the protocol's handle (a stdio stream) */
    int (*read_packet)(void *handle, uint8_t *dst, int size);
    int (*write_packet)(void *handle, const uint8_t *src, int size);
    int64_t (*seek)(void *handle, int64_t offset, int whence);
    int (*flush)(void *handle);
    int (*open)(void **handle, const char *uri, int flags);
    int (*close)(void *handle);
    uint8_t *buffer;  /* buffer_size bytes, owned */
    int buffer_size;
    uint8_t *buf_end;
    uint8_t *buf_cur;
    uint8_t *buf_high;
    int64_t end_pos;  /* pos when the end was met: a seek below it clears at_eof. Added
                         last, so that the fields before keep their places */
} vrc_uri_io_file_t;

VRC_API vrc_uri_io_file_t *vrc_uri_io_file_new(int flags, const char *uri);
/* Writes out buffered bytes, closes the file and releases the handle. 0; the
 * protocol's failure to close; -1 for a null handle. */
VRC_API int vrc_uri_io_file_free(vrc_uri_io_file_t *h);

VRC_API int vrc_uri_io_file_read(vrc_uri_io_file_t *h, void *dst, int size);
VRC_API unsigned int vrc_uri_io_file_r8(vrc_uri_io_file_t *h);
VRC_API unsigned int vrc_uri_io_file_rl16(vrc_uri_io_file_t *h);
VRC_API unsigned int vrc_uri_io_file_rb16(vrc_uri_io_file_t *h);
VRC_API unsigned int vrc_uri_io_file_rl32(vrc_uri_io_file_t *h);
VRC_API unsigned int vrc_uri_io_file_rb32(vrc_uri_io_file_t *h);
VRC_API uint64_t vrc_uri_io_file_rl64(vrc_uri_io_file_t *h);
VRC_API uint64_t vrc_uri_io_file_rb64(vrc_uri_io_file_t *h);

VRC_API int vrc_uri_io_file_write(vrc_uri_io_file_t *h, const void *src, int size);
VRC_API int vrc_uri_io_file_w8(vrc_uri_io_file_t *h, int byte);
VRC_API int vrc_uri_io_file_wl16(vrc_uri_io_file_t *h, unsigned int value);
VRC_API int vrc_uri_io_file_wb16(vrc_uri_io_file_t *h, unsigned int value);
VRC_API int vrc_uri_io_file_wl32(vrc_uri_io_file_t *h, unsigned int value);
VRC_API int vrc_uri_io_file_wb32(vrc_uri_io_file_t *h, unsigned int value);
VRC_API int vrc_uri_io_file_wl64(vrc_uri_io_file_t *h, uint64_t value);
VRC_API int vrc_uri_io_file_wb64(vrc_uri_io_file_t *h, uint64_t value);

/* Writes out pending bytes; the outcome stands in `error`, which is returned. */
VRC_API int vrc_uri_io_file_flush(vrc_uri_io_file_t *h);
/* SEEK_SET or SEEK_CUR; the new position, or -1. */
VRC_API int64_t vrc_uri_io_file_seek(vrc_uri_io_file_t *h, int64_t offset, int whence);
/* pos as 32 bits; -1 for a null handle. */
VRC_API int vrc_uri_io_file_tell(vrc_uri_io_file_t *h);
VRC_API int vrc_uri_io_file_eof(vrc_uri_io_file_t *h);
/* Writes count copies of the low byte of value straight to the file. */
VRC_API int vrc_uri_io_file_append_bytes(vrc_uri_io_file_t *h, int value, int count);

VRC_END_DECLS

#endif
