// A recording whose moov was never written (a power cut, a card pulled):
// its frame index comes from the mr01 records in front of every sample.
// The walk stops at the first place that holds no whole record: zeros of a
// pre-sized mdat, the end of the file, or a record the file cuts off.
#include <cstdio>
#include <cstring>

#include "vrc_mp4_demuxer_internal.h"

namespace vrc {
namespace {

// One mr01 record read at pos: its frame and the bytes to the next record.
struct MovRecord {
    mov_frame_info_t info;
    uint32_t size;    // the whole unit: records and sample
    uint32_t header;  // the records in front of the sample
};

enum class MovRecordRead { whole, none, cut };

// Whether the n bytes the file ends with (fewer than a record) begin one:
// its type when they reach it, else any byte written.
bool mov_starts_record(const uint8_t *bytes, uint32_t n)
{
    if (n >= MOV_BOX_ATOM_SIZE) return MovCursor(bytes + 4, 4).fourcc() == mov_fourcc("mr01");
    for (uint32_t i = 0; i < n; ++i)
        if (bytes[i] != 0) return true;
    return false;
}

// Reads the record at pos, whose unit must end by end. none: no record
// starts there (zeros, other bytes); cut: one starts but does not end in
// the file.
MovRecordRead mov_read_record(const MovWalk &w, uint64_t pos, uint64_t end, MovRecord *r)
{
    vrc_mp4_demuxer_t *ctx = w.ctx;
    uint8_t bytes[MOV_MR01_SIZE] = {};
    const uint64_t room = end - pos;
    const uint32_t want = room < MOV_MR01_SIZE ? static_cast<uint32_t>(room) : MOV_MR01_SIZE;
    if (vrc_uri_io_file_seek(ctx->pb, static_cast<int64_t>(pos), SEEK_SET) != static_cast<int64_t>(pos) ||
        vrc_uri_io_file_read(ctx->pb, bytes, static_cast<int>(want)) != static_cast<int>(want))
        return MovRecordRead::none;
    if (want < MOV_MR01_SIZE) return mov_starts_record(bytes, want) ? MovRecordRead::cut : MovRecordRead::none;
    MovCursor c(bytes, want);
    r->size = c.be32();
    const uint32_t type = c.fourcc();
    const uint32_t w0 = c.be32();
    const uint32_t w1 = c.be32();
    r->info = mov_frame_decode(w0, w1, c.be32());
    if (type != mov_fourcc("mr01") || r->info.track_id >= ctx->nr_track_meta ||
        r->info.track_id >= MOV_MAX_TRACKS)
        return MovRecordRead::none;
    const mov_track_meta_t &meta = ctx->track_meta[r->info.track_id];
    r->header = MOV_MR01_SIZE + (r->info.key_frame && mov_has_param_sets(meta) ? MOV_MR02_SIZE : 0);
    if (r->size < uint64_t{r->header} + r->info.size) return MovRecordRead::none;
    return r->size <= room ? MovRecordRead::whole : MovRecordRead::cut;
}

// Adds the record's frame to its track's index; false when the index is
// full. Reading follows the records, whose positions are 32-bit.
bool mov_index_record(MovWalk &w, const MovRecord &r, uint64_t pos)
{
    const bool video = w.ctx->track_meta[r.info.track_id].media_type == VRC_MEDIA_VIDEO;
    MovSampleTable &t = w.tables->of[video ? MOV_TABLE_VIDEO : MOV_TABLE_AUDIO];
    MovSample *s = pos + r.header <= UINT32_MAX ? t.reach(t.count) : nullptr;
    if (!s) return false;
    t.timescale = 0;  // the records count in milliseconds
    *s = MovSample{};
    s->size = r.info.size;
    s->track = r.info.track_id;
    s->key = r.info.key_frame;
    s->decode_time = r.info.timestamp;
    s->pos = pos + r.header;
    ++t.count;
    return true;
}

}  // namespace

void mov_index_records(MovWalk &w)
{
    vrc_mp4_demuxer_t *ctx = w.ctx;
    MovRecovery recovery{};
    recovery.no_moov = true;
    // The records are the whole index: samples that boxes met before mr00
    // put in the tables (a fragment's run, in a hostile file) do not count.
    for (MovSampleTable &t : w.tables->of) t.count = 0;
    const uint64_t end = w.mdat_end < w.file_size ? w.mdat_end : w.file_size;
    uint64_t pos = ctx->mdat_pos;
    // Every step moves on by a whole record of at least MOV_MR01_SIZE bytes.
    while (pos < end) {
        MovRecord r{};
        const MovRecordRead read = mov_read_record(w, pos, end, &r);
        if (read == MovRecordRead::cut) recovery.cut_frames = 1;
        if (read != MovRecordRead::whole || !mov_index_record(w, r, pos)) break;
        ++recovery.frames;
        pos += r.size;
    }
    if (MovDemuxer *d = mov_demuxer_of(ctx)) d->recovery = recovery;
}

}  // namespace vrc

extern "C" VRC_API int vrc_mp4_demuxer_recovery(const vrc_mp4_demuxer_t *ctx, vrc_mp4_recovery_t *out)
{
    const vrc::MovDemuxer *d = vrc::mov_demuxer_of(ctx);
    if (!d || !out || out->size < 2 * sizeof(uint32_t)) return -1;
    vrc_mp4_recovery_t r{};
    r.size = out->size < sizeof r ? out->size : static_cast<uint32_t>(sizeof r);
    r.no_moov = d->recovery.no_moov;
    r.frames = d->recovery.frames;
    r.cut_frames = d->recovery.cut_frames;
    std::memcpy(out, &r, r.size);
    return 0;
}
