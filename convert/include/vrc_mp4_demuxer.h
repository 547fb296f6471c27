/* MP4 demuxer: reads back the recording MP4 files of this library's muxer
 * and ordinary MP4 files of the same shape (one H.264 track, one AAC or
 * G.711 mu-law track), delivers their frames one at a time and positions a
 * recording at a calendar time.
 *
 * Two ways of reading, chosen once by read_header:
 *   private mode  an mr00 box was met (the recorder's own files): frames are
 *                 read in file order through the mr01 records inside mdat;
 *                 a recording whose moov was never written (a power cut)
 *                 is indexed from those records, up to its last whole frame;
 *   table mode    otherwise: frames come from the index built from the
 *                 sample tables, video and audio interleaved by file position.
 *
 * Everything read_header learns stays in the context's fields, for the
 * caller to read; the frame index in them holds at most MOV_MAX_FRAMES
 * samples a table, with 32-bit positions. A context made by new reads
 * further: its own index has no ceiling and 64-bit positions, and
 * read_packet, seek and vrc_mp4_reader.h go through it (counts:
 * vrc_mp4_demuxer_index_counts). A context a host allocated for init holds
 * the public record only: its frames end in front of the first sample past
 * the capacity or past 4 GiB. Samples of fragments (moof) follow those of
 * moov in each table. Reading frames allocates nothing; the index is
 * mapped only as far as the file's samples reach.
 *
 * Calling order: new, read_header once, read_packet until it returns a
 * negative value (seek allowed between reads), free.
 */
#ifndef VRC_MP4_DEMUXER_H
#define VRC_MP4_DEMUXER_H

#include <stdint.h>

#include "vrc_date_time.h"
#include "vrc_export.h"
#include "vrc_media.h"
#include "vrc_mp4_records.h"
#include "vrc_uri_io.h"

VRC_BEGIN_DECLS

#define MOV_MAX_FRAMES 1000000 /* entries of each frame index, as the muxer writes per track */
#define MOV_MAX_TRACKS 3       /* trak boxes that are read */
#define MOV_MAX_BOXES 64       /* entries of the box table */

/* The boxes met by the header walk, in walk order, children included. */
typedef struct mov_box_info_t {
    uint32_t boxes[MOV_MAX_BOXES][2]; /* (size, type) */
    uint32_t offsets[MOV_MAX_BOXES];  /* file position of each box header */
    uint32_t nr_boxes;                /* pairs filled */
    uint32_t nr_tracks;               /* trak boxes met; counts past MOV_MAX_TRACKS */
} mov_box_info_t;

/* Channel configuration and rate of an AAC track as its AudioSpecificConfig
 * declares them (esds, decoder specific information). */
typedef struct mov_audio_config_t {
    uint8_t present;        /* 1 when esds carried a usable configuration */
    uint8_t object_type;    /* audio object type (2: AAC LC) */
    uint8_t sampling_index; /* ADTS sampling-frequency index */
    uint8_t channels;       /* channel configuration */
} mov_audio_config_t;

/* The records of one trak. */
typedef struct mov_track_t {
    mov_box_tkhd_t tkhd;
    mov_box_elst_t elst;
    mov_box_mdhd_t mdhd;
    mov_box_hdlr_t hdlr;
    mov_box_vmhd_t vmhd;
    mov_box_smhd_t smhd;
    mov_box_dref_t dref;
    mov_box_stsd_t stsd;
    mov_box_stts_t stts;
    mov_box_stsz_t stsz;
    mov_box_stsc_t stsc;
    mov_box_stco_t stco;                  /* also filled by co64 */
    uint32_t sample_entry_size;           /* header of the first sample entry */
    uint32_t sample_entry_type;
    mov_box_video_sample_t video_sample;
    mov_box_audio_sample_t audio_sample;
    mov_box_avcc_t avcc;
    mov_box_esds_t esds;
    uint32_t handler_kind;                /* 0 video, 1 sound, 2 other */
    mov_audio_config_t audio_config;
} mov_track_t;

typedef struct vrc_mp4_demuxer_t {
    vrc_uri_io_file_t *pb;                  /* the file, owned */
    mov_box_info_t box_info;
    mov_box_ftyp_t ftyp;
    uint32_t private_mode;                  /* 1: an mr00 box was met */
    uint32_t nr_track_meta;                 /* entries declared by mr00 */
    mov_track_meta_t track_meta[MOV_MAX_TRACKS];
    mov_param_sets_t param_sets;            /* from avcC (table mode) */
    mov_box_mvhd_t mvhd;
    mov_track_t tracks[MOV_MAX_TRACKS];
    mov_frame_entry_t video_frames[MOV_MAX_FRAMES];
    mov_frame_entry_t audio_frames[MOV_MAX_FRAMES];
    uint32_t nr_video_frames;               /* valid entries of video_frames */
    uint32_t nr_audio_frames;               /* valid entries of audio_frames */
    uint32_t creation_time;                 /* seconds since 1970 (mvhd); 0 without mvhd */
    uint32_t dst;                           /* daylight flag applied by seek */
    uint32_t tz_west;                       /* 1: the zone applied by seek lies west of UTC */
    uint32_t tz;                            /* zone offset size in seconds applied by seek */
    uint32_t duration;                      /* movie duration in whole seconds */
    uint32_t video_index;                   /* table mode: next video entry */
    uint32_t audio_index;                   /* table mode: next audio entry */
    uint32_t read_pos;                      /* private mode: next mr01 record; 0: at mdat_pos */
    uint32_t mdat_pos;                      /* just behind the header of the last mdat met */
    uint32_t own_memory;                    /* 1: made by new, which owns the memory (internal) */
} vrc_mp4_demuxer_t;

/* Opens uri for reading. The new context, or null when the allocation or
 * the open fails. buffer_size has no effect. The context's pages are mapped
 * zeroed and touched only as far as the file fills its tables. */
VRC_API vrc_mp4_demuxer_t *vrc_mp4_demuxer_new(int buffer_size, const char *uri);
/* Zeroes a caller-allocated context and opens uri. 0; -1 when ctx is null
 * or the file cannot be opened. The caller releases the memory. */
VRC_API int vrc_mp4_demuxer_init(vrc_mp4_demuxer_t *ctx, int buffer_size, const char *uri);
/* Closes the file; releases the context when new made it. 0, also for null. */
VRC_API int vrc_mp4_demuxer_free(vrc_mp4_demuxer_t *ctx);
/* Walks the boxes once, fragments included, and builds the frame index
 * (for a recording without moov from its frame records:
 * vrc_mp4_demuxer_recovery). Always 0 for a
 * context (-1 for null): nr_boxes 0 means nothing was recognised,
 * nr_video_frames and nr_audio_frames say what can be read. */
VRC_API int vrc_mp4_demuxer_read_header(vrc_mp4_demuxer_t *ctx);
/* Delivers the next frame into buf and describes it in pkt: H.264 as Annex
 * B (parameter sets before key frames), AAC behind an ADTS header, mu-law
 * raw; timestamps in milliseconds. 0; -1 for null arguments, the end of
 * both tables (table mode) or a buffer too small for the frame and what is
 * put in front of it; VRC_ERR_MP4_NO_FRAME_RECORD in private mode when no
 * frame record follows (the end of the recording, or a damaged one) or the
 * file does not hold the frame's sample whole (a recording cut off). */
VRC_API int vrc_mp4_demuxer_read_packet(vrc_mp4_demuxer_t *ctx, vrc_media_packet_t *pkt, uint8_t *buf,
                                        int buf_size);
/* Positions reading at the video key frame at or before `when` (its date
 * and clock; the zone is the context's tz, tz_west and dst), audio at the
 * first frame not before it. 0; -1 for null, a time outside the recording
 * or a file without video key frames. */
VRC_API int vrc_mp4_demuxer_seek(vrc_mp4_demuxer_t *ctx, vrc_date_time_t when);
/* How sure it is that the file at path is MP4, from its first 1024 bytes:
 * 100 certain, 95 likely, 50 weak signs, 5 an MP4-like file of another
 * kind, 0 none; -1 when the file cannot be read. */
VRC_API int vrc_mp4_demuxer_read_probe(const char *path);
/* Whether the file at path is a whole MP4 file, as an interrupted writer
 * (a power cut, a full disk) never leaves one: its top-level boxes fill the
 * file exactly, and one moov holds an mvhd and tracks whose boxes, down to
 * each sample table, fill their parents exactly. Reads box headers only.
 * 1 whole; 0 not (empty, cut, not MP4); -1 when it cannot be read. */
VRC_API int vrc_mp4_demuxer_check_complete(const char *path);

/* What read_header recovered from a recording whose moov was never written
 * (a power cut or a pulled card during recording): its frames are indexed
 * and read through their mr01 records. Hosts set size before the call. */
typedef struct vrc_mp4_recovery_t {
    uint32_t size;       /* sizeof(vrc_mp4_recovery_t) as the host knows it */
    uint32_t no_moov;    /* 1: no moov; the frames come from the records */
    uint32_t frames;     /* whole frames found */
    uint32_t cut_frames; /* frames the file holds only in part: not delivered */
} vrc_mp4_recovery_t;

/* Fills *out as far as out->size reaches. 0; -1 for null arguments, a size
 * below 8, or a context from vrc_mp4_demuxer_init (which keeps no record of
 * it: its frame counts still tell what was found). */
VRC_API int vrc_mp4_demuxer_recovery(const vrc_mp4_demuxer_t *ctx, vrc_mp4_recovery_t *out);

/* What the index of a context made by new holds: every sample the file
 * gives, however many and wherever they lie, where the public video_frames
 * and audio_frames show the first MOV_MAX_FRAMES of each table below 4 GiB.
 * Hosts set size before the call. */
typedef struct vrc_mp4_index_counts_t {
    uint32_t size;          /* sizeof(vrc_mp4_index_counts_t) as the host knows it */
    uint32_t video_samples; /* samples read_packet delivers from the video table */
    uint32_t video_keys;    /* of them, key frames */
    uint32_t audio_samples; /* samples of the audio table */
} vrc_mp4_index_counts_t;

/* Fills *out as far as out->size reaches. 0; -1 for null arguments, a size
 * below 8, or a context from vrc_mp4_demuxer_init (whose public record is
 * all it holds). */
VRC_API int vrc_mp4_demuxer_index_counts(const vrc_mp4_demuxer_t *ctx, vrc_mp4_index_counts_t *out);

VRC_END_DECLS

#endif
