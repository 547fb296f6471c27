// The legacy demuxer's zero-copy read, for the conversion.
#ifndef VRC_OLDRECORD_DEMUXER_INTERNAL_H
#define VRC_OLDRECORD_DEMUXER_INTERNAL_H

#include "vrc_oldrecord_demuxer.h"
#include "vrc_uri_io_block.h"

// vrc_oldrecord_demuxer_read_packet, with the same results, except that a
// well-formed frame lying whole in the file layer's large blocks (see
// vrc::uri_io_use_blocks) is not copied: packet->data points into the
// blocks, valid until the next call. Every other frame is read into buffer
// by vrc_oldrecord_demuxer_read_packet. Before the blocks are refilled, lent
// (the writes that borrow their bytes) is flushed.
int vrc_oldrecord_demuxer_read_view(vrc_oldrecord_demuxer_t *d, vrc_media_packet_t *packet, void *buffer,
                                    vrc::UriIoBatch *lent);

#endif
