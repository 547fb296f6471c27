/* Records of the MP4 files this library writes and reads: the private
 * records of a recording (mr00 track descriptions, mr01 frame records, mr02
 * parameter sets) and the fields of the standard boxes that the MP4 demuxer
 * keeps in its context. Integers are held in host order; four-character
 * codes as the four type bytes in file order read into a word in memory
 * order. On disk every record is moved field by field, never as an image
 * of these structs.
 */
#ifndef VRC_MP4_RECORDS_H
#define VRC_MP4_RECORDS_H

#include <stdint.h>

#define MOV_BOX_ATOM_SIZE 8u       /* box header: 32-bit size, four-character type */
#define MOV_PARAM_SET_CAPACITY 64u /* bytes of one parameter set in mr02 */

/* The 12-byte frame record: three big-endian words in an mr01 record, one
 * entry of the muxer's frame table, the head of a demuxer index entry. Bits
 * count from the least significant bit of each word. */
typedef struct mov_frame_info_t {
    unsigned int reserved : 8;   /* word 0, bits 0..7: 0 */
    unsigned int size : 24;      /* word 0, bits 8..31: sample size in bytes */
    unsigned int seq8 : 8;       /* word 1, bits 0..7: low byte of the packet seq */
    unsigned int track_id : 2;   /* word 1, bits 8..9: track slot */
    unsigned int key_frame : 1;  /* word 1, bit 10 */
    unsigned int timezone : 17;  /* word 1, bits 11..27: zone offset in seconds, two's complement */
    unsigned int daylight : 1;   /* word 1, bit 28 */
    unsigned int reserved2 : 3;  /* word 1, bits 29..31: 0 */
    uint32_t timestamp;          /* word 2: milliseconds */
} mov_frame_info_t;

/* One frame of the demuxer's index. */
typedef struct mov_frame_entry_t {
    mov_frame_info_t info; /* size, track_id, key_frame, timestamp (ms); the rest 0 */
    uint32_t file_pos;     /* file position of the sample's first byte */
} mov_frame_entry_t;

/* One 36-byte entry of the mr00 box: a track's description. */
typedef struct mov_track_meta_t {
    uint8_t reserved;
    uint8_t track_id;            /* track index used in packets */
    uint8_t codec_id;            /* VRC_CODEC_* */
    uint8_t media_type;          /* VRC_MEDIA_*; chooses the form of u */
    uint32_t creation_time;      /* seconds since 1970 */
    uint32_t modification_time;  /* seconds since 1970 */
    uint32_t start_time;         /* millisecond timestamp at which creation_time holds */
    uint32_t timescale;          /* track time units per second */
    union {
        struct {
            uint32_t width;
            uint32_t height;
        } video;
        struct {
            uint16_t channels;
            uint16_t bit_width;
            uint32_t sample_rate;
        } audio;
    } u;
    uint8_t reserved2[8];
} mov_track_meta_t;

/* Payload of an mr02 record: H.264 parameter sets without start codes;
 * only the first *_len bytes of each array count. */
typedef struct mov_param_sets_t {
    uint16_t seq_param_len;
    uint16_t pic_param_len;
    uint8_t seq_param[MOV_PARAM_SET_CAPACITY];
    uint8_t pic_param[MOV_PARAM_SET_CAPACITY];
} mov_param_sets_t;

/* ---- standard boxes, as far as the demuxer keeps them ----
 * Each record mirrors its box's version-0 payload; fields not kept
 * (reserved, matrix, pre-defined) stay zero. */

typedef struct mov_box_ftyp_t {
    uint32_t major_brand;
    uint32_t minor_version;
    uint8_t compatible_brands[32]; /* the first eight brands, raw */
} mov_box_ftyp_t;

typedef struct mov_box_mvhd_t {
    uint8_t version;
    uint8_t flags[3];
    uint32_t creation_time;     /* seconds since 1904 */
    uint32_t modification_time; /* seconds since 1904 */
    uint32_t timescale;
    uint32_t duration;          /* in timescale units */
    uint32_t rate;              /* 16.16 */
    uint16_t volume;            /* 8.8 */
    uint8_t reserved[10];
    uint32_t matrix[9];
    uint32_t pre_defined[6];
    uint32_t next_track_id;
} mov_box_mvhd_t;

typedef struct mov_box_tkhd_t {
    uint8_t version;
    uint8_t flags[3];
    uint32_t creation_time;     /* seconds since 1904 */
    uint32_t modification_time; /* seconds since 1904 */
    uint32_t track_id;
    uint32_t reserved;
    uint32_t duration;
    uint32_t reserved2[2];
    uint16_t layer;
    uint16_t alternate_group;
    uint16_t volume;
    uint16_t reserved3;
    uint32_t matrix[9];
    uint32_t width;  /* 16.16; 0 for audio */
    uint32_t height; /* 16.16 */
} mov_box_tkhd_t;

/* The first entry of the edit list only. */
typedef struct mov_box_elst_t {
    uint8_t version;
    uint8_t flags[3];
    uint32_t entry_count;
    uint32_t segment_duration;
    uint32_t media_time;
    uint16_t media_rate_integer;
    uint16_t media_rate_fraction;
} mov_box_elst_t;

typedef struct mov_box_mdhd_t {
    uint8_t version;
    uint8_t flags[3];
    uint32_t creation_time;     /* seconds since 1904 */
    uint32_t modification_time; /* seconds since 1904 */
    uint32_t timescale;
    uint32_t duration;
    uint16_t language;
    uint16_t pre_defined;
} mov_box_mdhd_t;

typedef struct mov_box_hdlr_t {
    uint8_t version;
    uint8_t flags[3];
    uint32_t pre_defined;
    uint32_t handler_type; /* "vide", "soun", ... */
    uint32_t reserved[3];
    char name[128];        /* zero-terminated, at most 127 characters */
} mov_box_hdlr_t;

typedef struct mov_box_vmhd_t {
    uint8_t version;
    uint8_t flags[3];
    uint16_t graphics_mode;
    uint16_t opcolor[3];
} mov_box_vmhd_t;

typedef struct mov_box_smhd_t {
    uint8_t version;
    uint8_t flags[3];
    uint16_t balance;
    uint16_t reserved;
} mov_box_smhd_t;

typedef struct mov_box_dref_t {
    uint8_t version;
    uint8_t flags[3];
    uint32_t entry_count;
    uint8_t entries[128]; /* the entries raw, last byte 0 */
} mov_box_dref_t;

typedef struct mov_box_stsd_t {
    uint8_t version;
    uint8_t flags[3];
    uint32_t entry_count;
} mov_box_stsd_t;

/* The 78 fixed bytes of a visual sample entry ("avc1"). */
typedef struct mov_box_video_sample_t {
    uint8_t reserved[6];
    uint16_t data_reference_index;
    uint16_t pre_defined;
    uint16_t reserved2;
    uint32_t pre_defined2[3];
    uint16_t width;
    uint16_t height;
    uint32_t horiz_resolution; /* 16.16 */
    uint32_t vert_resolution;  /* 16.16 */
    uint32_t reserved3;
    uint16_t frame_count;
    uint8_t compressor_name[32];
    uint16_t depth;
    int16_t pre_defined3;
} mov_box_video_sample_t;

/* The 28 fixed bytes of an audio sample entry ("mp4a", "ulaw"). */
typedef struct mov_box_audio_sample_t {
    uint8_t reserved[6];
    uint16_t data_reference_index;
    uint32_t reserved2[2];
    uint16_t channel_count;
    uint16_t sample_size;
    uint16_t pre_defined;
    uint16_t reserved3;
    uint32_t sample_rate; /* 16.16 */
} mov_box_audio_sample_t;

/* AVC decoder configuration: the first SPS and PPS. A parameter set longer
 * than its array is not kept (its length reads 0). */
typedef struct mov_box_avcc_t {
    uint8_t configuration_version;
    uint8_t profile;
    uint8_t profile_compatibility;
    uint8_t level;
    uint8_t reserved;              /* upper 6 bits of byte 4 */
    uint8_t length_size_minus_one; /* lower 2 bits of byte 4 */
    uint8_t reserved2;             /* upper 3 bits of byte 5 */
    uint8_t sps_count;             /* lower 5 bits of byte 5 */
    uint16_t sps_length;
    uint8_t sps[64];
    uint8_t pps_count;
    uint16_t pps_length;
    uint8_t pps[32];
} mov_box_avcc_t;

/* Elementary stream descriptor. The four dsi fields hold the first two
 * bytes v of the decoder specific information split as v & 3,
 * (v >> 2) & 15, (v >> 6) & 1 and v >> 7. */
typedef struct mov_box_esds_t {
    uint8_t version;
    uint8_t flags[3];
    uint8_t es_id;       /* low byte of the ES ID */
    uint8_t es_flags;
    uint8_t object_type; /* object type indication */
    uint8_t stream_type; /* stream type byte */
    uint32_t max_bitrate;
    uint32_t avg_bitrate;
    uint32_t dsi[4];
} mov_box_esds_t;

typedef struct mov_stts_entry_t {
    uint32_t sample_count;
    uint32_t sample_delta;
} mov_stts_entry_t;

typedef struct mov_box_stts_t {
    uint8_t version;
    uint8_t flags[3];
    uint32_t entry_count;
    mov_stts_entry_t entries[8]; /* the first eight */
} mov_box_stts_t;

typedef struct mov_box_stsz_t {
    uint8_t version;
    uint8_t flags[3];
    uint32_t sample_size;  /* non-zero: every sample has this size */
    uint32_t sample_count;
    uint32_t size_sum;     /* sum of the per-sample sizes read, modulo 2^32 */
} mov_box_stsz_t;

typedef struct mov_box_stsc_t {
    uint8_t version;
    uint8_t flags[3];
    uint32_t entry_count;
} mov_box_stsc_t;

/* Also the record of co64. */
typedef struct mov_box_stco_t {
    uint8_t version;
    uint8_t flags[3];
    uint32_t entry_count;
} mov_box_stco_t;

#endif
