// moov in front of mdat, for files that play while they download. The media
// data are written as always; at the tail, once moov is sized, they move
// forward in place by moov's size, back to front in large blocks: one more
// read and write of each byte, mostly in the system's cache, and no disk
// space beyond the file's own. Nothing in the head boxes or in mdat holds a
// file offset (mr00 describes the tracks, mr01 and mr02 hold sizes, stamps
// and parameter sets), so only the chunk offsets change, and moov, written
// into the room left, counts them from mdat's new place.
#include <algorithm>
#include <cstdio>

#include "vrc_debug.h"
#include "vrc_mp4_muxer_internal.h"

namespace {

// Positions the file's protocol itself: the handle's buffer is empty.
bool seek_to(vrc_uri_io_file_t *pb, uint64_t offset)
{
    return pb->seek(pb->handle, static_cast<int64_t>(offset), SEEK_SET) == static_cast<int64_t>(offset);
}

// Reads or writes size bytes at offset straight through the file's
// protocol. False when the file gave or took fewer.
bool transfer_at(vrc_uri_io_file_t *pb, uint64_t offset, uint8_t *data, uint32_t size, bool write)
{
    if (!seek_to(pb, offset)) return false;
    for (uint32_t done = 0; done < size;) {
        const int left = static_cast<int>(size - done);
        const int n = write ? pb->write_packet(pb->handle, data + done, left)
                            : pb->read_packet(pb->handle, data + done, left);
        if (n <= 0) return false;
        done += static_cast<uint32_t>(n);
    }
    return true;
}

// Moves the bytes from..end of the file forward by distance; back to front,
// so that no byte is overwritten before it has been read.
bool move_forward(vrc_uri_io_file_t *pb, uint64_t from, uint64_t end, uint64_t distance, uint8_t *block)
{
    for (uint64_t at = end; at > from;) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(vrc::MOV_MOVE_BLOCK_SIZE, at - from));
        at -= n;
        if (!transfer_at(pb, at, block, n, false) || !transfer_at(pb, at + distance, block, n, true)) return false;
    }
    return true;
}

}  // namespace

extern "C" VRC_API int vrc_mp4_muxer_set_faststart(vrc_mp4_muxer_t *muxer, int enable)
{
    if (!muxer) return -1;
    muxer->faststart = enable ? 1 : 0;
    return 0;
}

int vrc::mov_make_room_for_moov(vrc_mp4_muxer_t &m)
{
    const uint64_t room = mov_moov_room(m);
    const uint64_t samples_end = m.mdat_offset + room + m.mdat_size;
    if (m.private_enable && samples_end > MOV_MAX_FILE_OFFSET) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__,
                    "moov in front would end the frames at byte %llu, beyond 32-bit offsets!\n",
                    static_cast<unsigned long long>(samples_end));
        return VRC_ERR_FRAME_REFUSED;
    }
    if (vrc_uri_io_file_flush(m.pb) != 0) return m.pb->error;
    const uint64_t mdat_end = uint64_t{m.mdat_offset} + (m.mdat_size_fixed != 0 ? m.mdat_size_fixed : m.mdat_size);
    if (!move_forward(m.pb, m.mdat_offset, mdat_end, room, m.move_block) || !seek_to(m.pb, m.mdat_offset)) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "moving mdat behind moov failed!\n");
        m.pb->error = VRC_ERR_IO_SHORT_WRITE;
        return m.pb->error;
    }
    m.pb->pos = m.mdat_offset;
    m.mdat_offset += static_cast<uint32_t>(room);
    return 0;
}
