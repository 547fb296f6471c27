/* Conversion of a legacy recording into an MP4 file: one H.264 video track
 * and one 8000 Hz G.711 mu-law audio track.
 *
 * The output is written under a temporary name in the output's directory and
 * renamed over the final name only once it is complete and closed: a failed,
 * cancelled or killed conversion never leaves a partial file under the final
 * name, and an existing output stays as it was. Unless VRC_CONVERT_NO_SYNC is
 * given, the file's bytes reach the disk before it takes its name and the
 * name after, so that after a power cut the name holds the whole file or is
 * not there.
 *
 * On Windows, paths are read in the ANSI code page unless the calling
 * thread chose UTF-8 (vrc_uri_io_set_path_encoding in vrc_uri_io.h). */
#ifndef VRC_CONVERT_H
#define VRC_CONVERT_H

#include <stdint.h>

#include "vrc_export.h"

VRC_BEGIN_DECLS

/* Results of vrc_convert_mp4_file besides 0 and -1 (-1: a null path, or no
 * memory). */
#define VRC_CONVERT_ERR_INPUT (-(0x18000 + 1))         /* the input cannot be opened or read, or it shrank
                                                          while it was read */
#define VRC_CONVERT_ERR_NO_FRAMES (-(0x18000 + 2))     /* no frame found in the input */
#define VRC_CONVERT_ERR_SAME_FILE (-(0x18000 + 3))     /* the output names the input itself */
#define VRC_CONVERT_ERR_EXISTS (-(0x18000 + 4))        /* the output exists (VRC_CONVERT_KEEP_EXISTING) */
#define VRC_CONVERT_ERR_OUTPUT (-(0x18000 + 5))        /* the output cannot be created, written or renamed,
                                                          or the recording holds more than one MP4 file can */
#define VRC_CONVERT_ERR_CANCELLED (-(0x18000 + 6))     /* the progress callback asked to stop */
#define VRC_CONVERT_ERR_PATH_TOO_LONG (-(0x18000 + 7)) /* the output path is longer than any platform takes */
#define VRC_CONVERT_ERR_UNSUPPORTED (-(0x18000 + 8))   /* this build cannot do what was asked (AAC without
                                                          an encoder), the job record is unknown, or an MP4
                                                          input's picture or sound is of a codec the library
                                                          does not read (the message names it) */
#define VRC_CONVERT_ERR_RANGE (-(0x18000 + 9))         /* no frame in the time range: the message gives the
                                                          span of the recordings */
#define VRC_CONVERT_ERR_JOIN (-(0x18000 + 10))         /* inputs that cannot be joined: their sound differs
                                                          or they overlap in time */

/* Option flags. */
#define VRC_CONVERT_KEEP_EXISTING 1u /* never replace an existing output: fail with VRC_CONVERT_ERR_EXISTS */
#define VRC_CONVERT_NO_SYNC 2u       /* leave the output in the system's cache (scratch runs): a power cut
                                        may then leave it empty or cut under its own name */
#define VRC_CONVERT_AUDIO_AAC 4u     /* audio re-encoded as AAC-LC (default: the recorder's mu-law, byte for
                                        byte); VRC_CONVERT_ERR_UNSUPPORTED when the build has no AAC encoder */
#define VRC_CONVERT_FASTSTART 8u     /* the moov box before the media data: the file plays while it downloads */
#define VRC_CONVERT_NAMES_ONLY 16u   /* nothing is written or replaced: the inputs are read as the conversion
                                        reads them and output_done hears each output's name, its counts zero,
                                        so that a host can check a segmented job's names before writing */
#define VRC_CONVERT_KEEP_WHOLE 32u   /* an output that is a whole MP4 file (vrc_mp4_demuxer_check_complete)
                                        is kept as it is, its frames read past, and output_done hears of it
                                        with its counts zero; an incomplete one is made again: a segmented
                                        job resumed after a stop remakes only what is missing */

/* Called on the converting thread before the first frame, then about every
 * MiB of input read, and once with done == total when the input is read.
 * done: bytes of the input read so far; total: the input's size. A non-zero
 * return cancels the conversion (VRC_CONVERT_ERR_CANCELLED). */
typedef int (*vrc_convert_progress_t)(void *user, uint64_t done, uint64_t total);

/* Called on the converting thread with each whole line (without its newline)
 * that the conversion would print on standard output: the log lines of this
 * thread, colour prefix included, and the plain progress lines. */
typedef void (*vrc_convert_line_t)(void *user, const char *line);
/* Neither callback may let an exception or a longjmp out into the library. */

typedef struct vrc_convert_options_t {
    vrc_convert_progress_t progress; /* null: no progress reports */
    void *user;                      /* handed to progress and line unchanged */
    uint32_t flags;                  /* VRC_CONVERT_* flags; 0 for none */
    vrc_convert_line_t line;         /* null: lines go to standard output */
} vrc_convert_options_t;

/* What one conversion did; filled on success and on failure alike. */
typedef struct vrc_convert_result_t {
    uint32_t video_frames;         /* samples written to the video track */
    uint32_t audio_frames;         /* samples written to the audio track */
    uint32_t video_steps_repaired; /* video stamps put back in line, and steps back or jumps replaced */
    uint32_t audio_steps_repaired; /* the same for audio */
    uint32_t frames_dropped;       /* frames read but not written (no picture data, too large, a
                                      picture cut by the end of the file) */
    uint64_t bytes_written;        /* size of the output file; 0 when none was written */
    uint64_t bytes_skipped;        /* input bytes not converted: foreign data, damaged headers, dropped frames */
    char message[256];             /* why it failed: one line, no newline; on success empty, or what was
                                      left out (the end of a recording that grew while it was read) */
} vrc_convert_result_t;

/* Converts the legacy recording at input into an MP4 file at output.
 * options and result may be null (no progress, no flags; nothing reported).
 * Frames the MP4 file cannot take (a picture without a slice, a frame too
 * large, a picture cut by the end of the file) are dropped and counted; the
 * others are all written. A recording that grows while it is read (a
 * recorder still writing) is converted as far as it reached at the start,
 * with a note in the result's message; one that shrinks fails.
 * Returns 0 when the output was written completely and renamed into place;
 * -1 for a null input or output path; otherwise one of VRC_CONVERT_ERR_*,
 * with no file left under the output name other than one that was there
 * before, or the whole output when only syncing its name failed. Prints
 * its progress and failures on standard output (or hands them to
 * options->line); the result's message says why it failed. */
VRC_API int vrc_convert_mp4_file(const char *input, const char *output, const vrc_convert_options_t *options,
                                 vrc_convert_result_t *result);

/* The bit rates of AAC audio a job takes (audio_bitrate), bits per second. */
#define VRC_CONVERT_AAC_MIN_BITRATE 8000u
#define VRC_CONVERT_AAC_MAX_BITRATE 48000u

/* A time that leaves a range open at that end. */
#define VRC_CONVERT_NO_TIME INT64_MIN

/* Called on the converting thread after each output is in place, with what
 * went into it (a segmented job makes several). */
typedef void (*vrc_convert_output_t)(void *user, const char *path, const vrc_convert_result_t *result);

/* A conversion with choices beyond vrc_convert_mp4_file's. Members are read
 * only as far as size reaches, so that hosts built against an older header
 * keep working: set size to sizeof(vrc_convert_job_t) and zero what is not
 * used (then the job is one whole input to one output). */
typedef struct vrc_convert_job_t {
    uint32_t size;                  /* sizeof(vrc_convert_job_t) as the host was built */
    const char *const *inputs;      /* legacy recordings or MP4 files; several are joined in time order */
    uint32_t input_count;
    const char *output;             /* the output; when segment_seconds is set, a name pattern whose date
                                       fields (%Y %m %d %H %M %S) take each segment's start time */
    vrc_convert_options_t options;  /* progress, user, flags and line, as for vrc_convert_mp4_file */
    int64_t from_ms;                /* calendar time range, ms since 1970 UTC: VRC_CONVERT_NO_TIME or 0 */
    int64_t to_ms;                  /* for either end leaves it open */
    uint32_t segment_seconds;       /* 0: one output; else a new output at the first key frame at or after
                                       each multiple of it */
    int32_t name_utc_offset_minutes; /* zone of the names' date fields, minutes east of UTC */
    uint32_t audio_bitrate;         /* bits per second of AAC audio, VRC_CONVERT_AAC_MIN_BITRATE to _MAX_BITRATE;
                                       0: the default (32000) */
    vrc_convert_output_t output_done; /* null: not called */
    const char *reference;          /* null: the inputs are read as they are; else a whole MP4 file of the same
                                       camera, whose streams describe inputs that lost their moov (ordinary
                                       MP4 files: H.264 with mu-law; AAC sound is not recovered) */
} vrc_convert_job_t;

/* Runs job; result sums what went into all its outputs. The same results
 * as vrc_convert_mp4_file, and: -1 for a null job, no input or no output;
 * VRC_CONVERT_ERR_UNSUPPORTED for a size smaller than the record of this
 * header's first release; VRC_CONVERT_ERR_RANGE when no frame falls in the
 * range; VRC_CONVERT_ERR_JOIN when the inputs cannot be joined. */
VRC_API int vrc_convert_run(const vrc_convert_job_t *job, vrc_convert_result_t *result);

/* Converts the legacy recording at path into path + ".mp4", replacing an
 * existing output. Returns 0 when the MP4 file was written completely, -1
 * otherwise (a null path included). */
VRC_API int vrc_convert_mp4(const char *path);

VRC_END_DECLS

#endif
