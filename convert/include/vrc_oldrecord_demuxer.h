/* Reader of the recorder's legacy record files: a sequence of frames, each a
 * 44-byte little-endian header followed by its payload (H.264 Annex B or raw
 * G.711 mu-law), found by scanning for the header's magic value.
 *
 * Frame header (all fields little-endian 32-bit):
 *
 *   0 magic      5656 or 5099; anything else starts no header
 *   4 size       payload bytes after the header
 *   8 type       0xF0 key video, 0xF1 video, 0xF2 other video, 0xFA audio
 *  12 timestamp  milliseconds
 *  16 utctime    seconds since 1970 UTC
 *  20 24 bytes not interpreted
 */
#ifndef VRC_OLDRECORD_DEMUXER_H
#define VRC_OLDRECORD_DEMUXER_H

#include <stdint.h>

#include "vrc_date_time.h"
#include "vrc_export.h"
#include "vrc_media.h"
#include "vrc_uri_io.h"

VRC_BEGIN_DECLS

#define VRC_OLDREC_MAGIC 5656
#define VRC_OLDREC_MAGIC_ALT 5099
#define VRC_OLDREC_HEADER_SIZE 44

#define VRC_OLDREC_TYPE_VIDEO_I 0xF0
#define VRC_OLDREC_TYPE_VIDEO_P 0xF1
#define VRC_OLDREC_TYPE_VIDEO_OTHER 0xF2
#define VRC_OLDREC_TYPE_AUDIO 0xFA

/* Payload buffer that hosts written for this interface supply. */
#define VRC_OLDREC_DEFAULT_BUFFER_SIZE 262144
/* The largest frame an MP4 frame record can describe (24 bits); a header
 * claiming more is taken as corruption. */
#define VRC_OLDREC_MAX_FRAME_SIZE 16777215

/* Seek index: a little-endian 32-bit byte count of the entries, then 12-byte
 * entries {16-bit magic, 16-bit entry size 12, 32-bit utctime, 32-bit frame
 * offset} in rising time. */
#define VRC_OLDREC_INDEX_ENTRY_SIZE 12

typedef struct vrc_oldrecord_demuxer_t {
    vrc_uri_io_file_t *pb;  /* the legacy file, owned */
    const uint8_t *index;   /* seek index attached by the host, not owned; null at creation */
    /* Where the next frame header is looked for. A recording may be larger
     * than 4 GiB: the reader keeps its position in 64 bits, and this field
     * (like a packet's offset) shows its low 32 bits, wrapping past 4 GiB. A
     * host that sets it names a position within the first 4 GiB. */
    uint32_t read_offset;
    uint32_t dst;           /* zone the seek reads its wanted time in */
    uint32_t tz_west;
    uint32_t tz;
    /* Capacity of the payload buffer given to read_packet. Frames larger than
     * this are skipped with a warning; a host with a larger buffer raises it. */
    uint32_t buffer_size;
    /* Bytes missing from the payload of the frame last delivered: the file
     * ends inside it (a recording cut off). 0 for a whole frame. */
    uint32_t payload_cut;
} vrc_oldrecord_demuxer_t;

/* Opens path for reading; null when it cannot be opened. Reads nothing. */
VRC_API vrc_oldrecord_demuxer_t *vrc_oldrecord_demuxer_new(const char *path);

/* Delivers the next frame: the packet is cleared and filled, the payload goes
 * to buffer (at least buffer_size bytes). A header counts when its type is
 * known and its size at most VRC_OLDREC_MAX_FRAME_SIZE. The frame has the
 * size its header says when the next header (or the end of the file)
 * follows it; otherwise it ends where the next frame's header shows up
 * inside it (a damaged size field), or with the bytes the file holds
 * (payload_cut says how many it lacks; a warning is logged). A
 * frame larger than buffer_size is skipped with a warning. Returns 0; -1 for
 * a null argument; -90113 at the end of the file, or when the file cannot be
 * positioned or read; -3 when the
 * frame has no payload (a header of size 0, or at the end of the file),
 * read_offset then at the payload. */
VRC_API int vrc_oldrecord_demuxer_read_packet(vrc_oldrecord_demuxer_t *d, vrc_media_packet_t *packet,
                                              void *buffer);

/* Positions read_offset at the last indexed frame at or before wanted, read
 * in the demuxer's zone. 1 when positioned; -1 without an index, or when
 * wanted lies more than 2 seconds past the last entry; -90114 when the index
 * is not a legacy index or wanted lies before it. */
VRC_API int vrc_oldrecord_demuxer_seek(vrc_oldrecord_demuxer_t *d, vrc_date_time_t wanted);

/* Positions past 4 GiB, which the 32-bit fields cannot name. The reader's
 * position, where the next frame header is looked for (read_offset shows
 * its low 32 bits); 0 for a null demuxer. */
VRC_API uint64_t vrc_oldrecord_demuxer_position(const vrc_oldrecord_demuxer_t *d);
/* Moves the position to at. 0; -1 for a null demuxer. */
VRC_API int vrc_oldrecord_demuxer_move(vrc_oldrecord_demuxer_t *d, uint64_t at);
/* The position of the payload of the frame last delivered (its packet's
 * offset shows the low 32 bits); 0 before any frame or for a null demuxer. */
VRC_API uint64_t vrc_oldrecord_demuxer_payload_position(const vrc_oldrecord_demuxer_t *d);
/* Closes the file and releases the demuxer (not the index). 0, also for null. */
VRC_API int vrc_oldrecord_demuxer_free(vrc_oldrecord_demuxer_t *d);

VRC_END_DECLS

#endif
