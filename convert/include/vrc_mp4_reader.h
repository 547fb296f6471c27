/* MP4 reader for new host code: an opaque handle over the MP4 demuxer (see
 * vrc_mp4_demuxer.h for the files it reads) that gives each sample with its
 * times in its track's own units and describes each track, its edit list
 * included. Nothing is rounded to milliseconds.
 *
 * Samples come in file order, the tracks interleaved, as the library
 * exchanges frames: H.264 in Annex B with the parameter sets of the
 * sample's own description in front of each key frame, AAC behind a
 * 7-byte ADTS header, mu-law raw. Files with the recorder's private records
 * count their times in milliseconds (timescale 1000).
 *
 * Records the host passes in start with their size, which the host sets to
 * sizeof the record as it was built: the library fills no byte beyond it,
 * so a record can grow at its end without breaking older hosts.
 *
 * Calling order: open, any of the track and edit queries, read until it
 * returns VRC_MP4_READER_END, close. A handle is used by one thread at a
 * time.
 */
#ifndef VRC_MP4_READER_H
#define VRC_MP4_READER_H

#include <stdint.h>

#include "vrc_export.h"

VRC_BEGIN_DECLS

typedef struct vrc_mp4_reader vrc_mp4_reader_t;

#define VRC_MP4_READER_END 1          /* read: every sample has been delivered */
#define VRC_MP4_READER_SHORT (-2)     /* read: the buffer cannot hold the sample as delivered */
#define VRC_MP4_MEDIA_OTHER 2         /* a track neither video nor audio: its samples are not delivered */
#define VRC_MP4_EMPTY_EDIT (-1)       /* an edit's media time when nothing plays during it */

/* One track. */
typedef struct vrc_mp4_track_t {
    uint32_t size;            /* set by the host: sizeof(vrc_mp4_track_t) */
    uint32_t media_type;      /* VRC_MEDIA_VIDEO, VRC_MEDIA_AUDIO or VRC_MP4_MEDIA_OTHER */
    uint32_t codec_id;        /* VRC_CODEC_* of its first description; 0: one the library does not read */
    uint32_t timescale;       /* units per second of its samples' times */
    uint32_t samples;         /* samples read delivers for it */
    uint32_t descriptions;    /* its sample descriptions (at most 16 are kept) */
    uint32_t width;           /* video: the picture size of its first description */
    uint32_t height;
    uint32_t channels;        /* audio: of its first description, as its configuration declares them */
    uint32_t sample_rate;     /* audio: in Hz, likewise */
    uint32_t edits;           /* entries of its edit list (at most 16 are kept); 0: none, the media plays from 0 */
    uint32_t movie_timescale; /* units per second of the edits' durations */
} vrc_mp4_track_t;

/* One entry of a track's edit list: for `duration` of the movie's time,
 * the track plays its media from media_time on, or nothing. */
typedef struct vrc_mp4_edit_t {
    uint32_t size;      /* set by the host: sizeof(vrc_mp4_edit_t) */
    uint32_t reserved;  /* 0 */
    uint64_t duration;  /* in the movie timescale */
    int64_t media_time; /* in the track's timescale; VRC_MP4_EMPTY_EDIT: nothing plays */
} vrc_mp4_edit_t;

/* One sample as read delivered it. */
typedef struct vrc_mp4_sample_t {
    uint32_t size;              /* set by the host: sizeof(vrc_mp4_sample_t) */
    uint32_t track;             /* the track's index, from 0 */
    int64_t decode_time;        /* track units from the media's start */
    int32_t composition_offset; /* presentation time minus decode time (B-frames) */
    uint32_t duration;          /* track units; 0: up to the track's next sample */
    uint32_t description;       /* the sample description, from 0 */
    uint32_t key_frame;         /* 1: decoding can start here */
    uint32_t bytes;             /* bytes delivered into the buffer, or needed (VRC_MP4_READER_SHORT) */
    uint32_t reserved;          /* 0 */
} vrc_mp4_sample_t;

/* Opens the MP4 file at path and reads its boxes. The handle; null when
 * path is null, the file cannot be opened or it holds no sample to read. */
VRC_API vrc_mp4_reader_t *vrc_mp4_reader_open(const char *path);
/* Closes the file and releases the handle; nothing for null. */
VRC_API void vrc_mp4_reader_close(vrc_mp4_reader_t *reader);
/* Tracks of the file (at most 3 are read); -1 for null. */
VRC_API int vrc_mp4_reader_track_count(const vrc_mp4_reader_t *reader);
/* Describes track `track` in *out. 0; -1 for a null argument, a size below
 * that of the size field or a track past the count. */
VRC_API int vrc_mp4_reader_track(const vrc_mp4_reader_t *reader, uint32_t track, vrc_mp4_track_t *out);
/* Entry `index` of the track's edit list in *out. 0; -1 for a null
 * argument, a size below that of the size field, or no such entry. */
VRC_API int vrc_mp4_reader_edit(const vrc_mp4_reader_t *reader, uint32_t track, uint32_t index,
                                vrc_mp4_edit_t *out);
/* Delivers the next sample into buf and describes it in *out. 0;
 * VRC_MP4_READER_END past the last sample; VRC_MP4_READER_SHORT when
 * buf_size is below the sample as delivered (out->bytes says how many it
 * needs and the same sample comes at the next read); -1 for a null
 * argument or a size below that of the size field. */
VRC_API int vrc_mp4_reader_read(vrc_mp4_reader_t *reader, uint8_t *buf, uint32_t buf_size, vrc_mp4_sample_t *out);

VRC_END_DECLS

#endif
