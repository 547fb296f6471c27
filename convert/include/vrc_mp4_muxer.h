/* MP4 muxer: writes a recording MP4 file from packets handed over one at a
 * time, one H.264 video track (slot 0) and one audio track (slot 1, G.711
 * mu-law or AAC).
 *
 * File layout:
 *
 *   ftyp (24) | free (8) | mr00 (12 + 36 x tracks, private records only) |
 *   mdat (pre-sized to VRC_MUXER_MDAT_SIZE_FIXED, or patched at the tail) | moov
 *
 * With private records on, every frame in mdat is preceded by a 20-byte mr01
 * record (its 12-byte frame record) and every H.264 key frame additionally by
 * a 140-byte mr02 record (the track's parameter sets).
 *
 * With faststart on, moov goes in front of mdat instead, behind the head
 * boxes, so that the file plays while it downloads: at the tail the media
 * data move forward in place by moov's size (one more read and write of
 * each byte, no extra disk space).
 *
 * Calling order: new, optionally set_config, set_faststart and set_create_time, add_tracks
 * once with all tracks (video first), write_header, write_packet per frame,
 * write_tailer, free. The frame table's address space is reserved at
 * creation and its memory (21 bytes a frame) committed as frames arrive; the
 * tail allocates nothing.
 *
 * Limits: with private records on (the recorder's own files) a file holds at
 * most VRC_MUXER_MAX_FRAMES frames, VRC_MUXER_MAX_TRACK_FRAMES per track, and
 * no byte of a sample past 4 GiB. With them off, only the frame table bounds
 * a file (67,108,864 frames in a 64-bit process, VRC_MUXER_MAX_FRAMES in a
 * 32-bit one): chunk offsets become 64-bit (co64) once a sample lies past
 * 4 GiB, mdat takes a 64-bit size once it passes 4 GiB, and mvhd, tkhd, mdhd
 * and elst take version 1 once a duration passes 2^32 units; smaller files
 * keep the 32-bit forms, byte for byte.
 */
#ifndef VRC_MP4_MUXER_H
#define VRC_MP4_MUXER_H

#include <stdint.h>

#include "vrc_export.h"
#include "vrc_media.h"

VRC_BEGIN_DECLS

#define VRC_MUXER_MAX_TRACKS 3
#define VRC_MUXER_MAX_FRAMES 3000000      /* frames of all tracks together */
#define VRC_MUXER_MAX_TRACK_FRAMES 1000000
#define VRC_MUXER_MDAT_SIZE_FIXED 5242880 /* size of a pre-sized mdat box */
#define VRC_MUXER_MAX_SAMPLE_SIZE 16777215 /* the frame record's 24-bit size */

typedef struct vrc_mp4_muxer_t vrc_mp4_muxer_t;

/* Creates (or truncates) the output file; null on failure. Defaults: private
 * records on, mdat pre-sized, creation time now. */
VRC_API vrc_mp4_muxer_t *vrc_mp4_muxer_new(const char *path);
/* Any non-zero switch turns the feature on. 0; -1 for a null muxer. */
VRC_API int vrc_mp4_muxer_set_config(vrc_mp4_muxer_t *muxer, int private_enable, int mdat_size_fixed);
/* Non-zero: moov in front of mdat (see above). 0; -1 for a null muxer. */
VRC_API int vrc_mp4_muxer_set_faststart(vrc_mp4_muxer_t *muxer, int enable);
/* Time pair written into mr00: seconds since 1970 and the millisecond clock
 * value at that moment. 0; -1 for a null muxer. */
VRC_API int vrc_mp4_muxer_set_create_time(vrc_mp4_muxer_t *muxer, uint32_t creation_time,
                                          uint32_t start_time);
/* Copies count track descriptions (at most 3, video first). 0; -1 for null
 * pointers, a count above 3 or a second call. */
VRC_API int vrc_mp4_muxer_add_tracks(vrc_mp4_muxer_t *muxer, const vrc_track_info_t *tracks, int count);
/* Writes everything up to the mdat header. 0; -1 for a null muxer. */
VRC_API int vrc_mp4_muxer_write_header(vrc_mp4_muxer_t *muxer);
/* Whether the packet would be accepted. 0; -2 null argument; -3 refused;
 * -5 a video frame in which no slice is found (a damaged start code). */
VRC_API int vrc_mp4_muxer_try_to_write(vrc_mp4_muxer_t *muxer, const vrc_media_packet_t *packet);
/* Appends one frame. 0; -1 null argument; -3 refused; -5 a video frame in
 * which no slice is found, dropped with a warning (nothing changed in either
 * case); -4 an earlier write to the output failed. */
VRC_API int vrc_mp4_muxer_write_packet(vrc_mp4_muxer_t *muxer, const vrc_media_packet_t *packet);
/* Completes the file with moov. Sample durations come from the packets'
 * stamps; a step that goes backwards or jumps ahead by more than a second
 * for one stamp's sake is replaced by the usual step (one WARN per track
 * says how many), a pause stays. A track that starts later than the other
 * gets an empty edit. 0; -3 (nothing moved) when, with private records on,
 * moov in front would push a sample beyond 4 GiB; another negative value
 * when any write, the move of the media data, the mdat size patch or the
 * final flush failed. */
VRC_API int vrc_mp4_muxer_write_tailer(vrc_mp4_muxer_t *muxer);
/* Writes out buffered bytes; always 0. */
VRC_API int vrc_mp4_muxer_flush(vrc_mp4_muxer_t *muxer);
/* Whole seconds of the video track; -1 for a null muxer or a zero timescale. */
VRC_API int vrc_mp4_muxer_get_video_duration(vrc_mp4_muxer_t *muxer);
/* Closes the output (without writing a tail) and releases the muxer. */
VRC_API void vrc_mp4_muxer_free(vrc_mp4_muxer_t *muxer);

VRC_END_DECLS

#endif
