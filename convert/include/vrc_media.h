/* Records that pass between the demuxers, the caller and the muxer, their
 * value sets, and the library's result codes. */
#ifndef VRC_MEDIA_H
#define VRC_MEDIA_H

#include <stdint.h>

#include "vrc_export.h"

VRC_BEGIN_DECLS

/* media_type */
#define VRC_MEDIA_VIDEO 0
#define VRC_MEDIA_AUDIO 1

/* frame_type */
#define VRC_FRAME_I 1           /* key frame: parameter sets ahead of the IDR slice */
#define VRC_FRAME_P 2
#define VRC_FRAME_VIDEO_OTHER 3 /* handled as a non-key frame */
#define VRC_FRAME_AUDIO 4       /* raw G.711 mu-law */
#define VRC_FRAME_AUDIO_ADTS 5  /* AAC behind a 7-byte ADTS header */

/* codec_id */
#define VRC_CODEC_H264 1
#define VRC_CODEC_G711U 3
#define VRC_CODEC_AAC 5

/* Results besides 0 and the generic -1. */
#define VRC_ERR_MUXER_ARGS (-2)               /* null muxer or packet in the space check */
#define VRC_ERR_FRAME_REFUSED (-3)            /* muxer refused the frame; legacy payload unreadable */
#define VRC_ERR_MUXER_IO (-4)                 /* muxer output has a write error */
#define VRC_ERR_FRAME_EMPTY (-5)              /* muxer: a video frame without a slice; nothing written */
#define VRC_ERR_IO_SHORT_WRITE (-1000)        /* stored in a writing handle after a short write */
#define VRC_ERR_MP4_NO_FRAME_RECORD (-73729)  /* -(0x12000 + 1) */
#define VRC_ERR_OLDREC_EOF (-90113)           /* -(0x16000 + 1): no further frame header */
#define VRC_ERR_OLDREC_BAD_INDEX (-90114)     /* -(0x16000 + 2) */

/* One coded frame. The caller owns the record and the buffer behind data. */
typedef struct vrc_media_packet_t {
    uint32_t size;       /* payload bytes in data */
    uint8_t track_id;    /* muxer track slot */
    uint8_t media_type;  /* VRC_MEDIA_* */
    uint8_t frame_type;  /* VRC_FRAME_* */
    uint8_t codec_id;    /* VRC_CODEC_* */
    uint32_t seq;        /* per-track sequence number */
    uint32_t utctime;    /* wall clock, seconds since 1970 UTC */
    uint32_t timestamp;  /* milliseconds */
    uint8_t *data;       /* caller's payload buffer */
    uint32_t offset;     /* legacy demuxer: file offset of the payload; its low 32 bits past 4 GiB */
    uint8_t key_frame;   /* 1 for a key frame */
} vrc_media_packet_t;

/* One track. The caller fills track_id to bitwidth; the muxer completes the rest. */
typedef struct vrc_track_info_t {
    uint32_t track_id;
    uint32_t media_type;
    uint32_t codec_id;
    uint32_t timescale;
    uint32_t width;
    uint32_t height;
    uint32_t channels;
    uint32_t sample_rate;
    uint32_t bitwidth;
    uint8_t seq_params[64]; /* H.264 SPS without start code */
    uint32_t seq_params_len;
    uint8_t pic_params[64]; /* H.264 PPS without start code */
    uint32_t pic_params_len;
    uint32_t duration;      /* ms from the first frame to the latest */
    uint32_t creation_time;
    uint32_t modification_time;
    uint32_t start_time;    /* timestamp of the first frame (audio: minus 40) */
} vrc_track_info_t;

VRC_END_DECLS

#endif
