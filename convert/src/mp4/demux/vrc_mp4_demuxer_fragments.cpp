// Fragments: moof boxes behind moov, each with a traf per track whose trun
// boxes list samples in the mdat that follows. Their samples go on at the
// end of the track's table, after those of moov, with the defaults of
// mvex/trex and tfhd filled in; so reading, seeking and the conversion
// take them as they take moov's.
//
// A run declares its count: it is bounded by the entries its payload holds
// and, for runs of default sizes, by the samples the file can hold; a run
// ends at the first sample whose bytes the file does not hold.
#include "vrc_debug.h"
#include "vrc_mp4_demuxer_internal.h"
#include "vrc_mp4_muxer.h"

namespace vrc {

namespace {

constexpr uint32_t kNoTable = 2;

// The slot of the trak with this track ID; MOV_MAX_TRACKS when none.
uint32_t mov_slot_of_track(const vrc_mp4_demuxer_t *ctx, uint32_t track_id)
{
    for (uint32_t s = 0; s < ctx->box_info.nr_tracks && s < MOV_MAX_TRACKS; ++s)
        if (ctx->tracks[s].tkhd.track_id == track_id) return s;
    return MOV_MAX_TRACKS;
}

MovTrackDefaults mov_trex_of(const MovWalk &w, uint32_t track_id)
{
    for (uint32_t i = 0; i < w.nr_trex; ++i)
        if (w.trex[i].track_id == track_id) return w.trex[i];
    return MovTrackDefaults{track_id, 0, 0, 0, 0};
}

// The table the track's fragments add to: that of its media type, unless
// another track of the type filled it (only one a type is read).
uint32_t mov_fragment_table(const MovWalk &w, uint32_t slot)
{
    if (w.ctx->private_mode || slot >= MOV_MAX_TRACKS) return kNoTable;
    const uint32_t kind = w.ctx->tracks[slot].handler_kind;
    if (kind > MOV_TABLE_AUDIO) return kNoTable;
    const MovSampleTable &t = w.tables->of[kind];
    if (w.frag.ended[kind]) return kNoTable;
    return t.count == 0 || t[0].track == slot ? kind : kNoTable;
}

// One sample of a run as its fields and the defaults give it.
struct MovRunSample {
    uint32_t duration;
    uint32_t size;
    uint32_t flags;
    int32_t composition_offset;
};

MovRunSample mov_read_run_sample(MovCursor &c, uint32_t run_flags, const MovTrackDefaults &d, uint32_t flags)
{
    MovRunSample s{d.duration, d.size, flags, 0};
    if (run_flags & MOV_TRUN_DURATION) s.duration = c.be32();
    if (run_flags & MOV_TRUN_SIZE) s.size = c.be32();
    if (run_flags & MOV_TRUN_FLAGS) s.flags = c.be32();
    // Signed in version 1; version 0's unsigned offsets are read the same
    // way, as ctts's are (writers put negative ones there too).
    if (run_flags & MOV_TRUN_COMPOSITION) s.composition_offset = static_cast<int32_t>(c.be32());
    return s;
}

// Whether the sample's bytes lie in the file and a sample can hold them.
bool mov_run_sample_fits(const MovWalk &w, uint32_t index, uint64_t pos, uint32_t size)
{
    if (size <= VRC_MUXER_MAX_SAMPLE_SIZE && pos <= w.file_size && size <= w.file_size - pos) return true;
    vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__,
                "fragment sample %u of %u bytes at %llu lies outside the file: its track ends in front of it\n",
                index, size, static_cast<unsigned long long>(pos));
    return false;
}

}  // namespace

void mov_parse_trex_box(MovWalk &w, MovCursor &c)
{
    c.skip(4);  // version, flags
    MovTrackDefaults d{};
    d.track_id = c.be32();
    d.description = c.be32();
    d.duration = c.be32();
    d.size = c.be32();
    d.flags = c.be32();
    if (c.ok() && w.nr_trex < MOV_MAX_TREX) w.trex[w.nr_trex++] = d;
}

void mov_enter_moof(MovWalk &w, uint64_t pos)
{
    w.frag.moof_pos = pos;
    w.frag.data_end = pos;
    w.frag.table = kNoTable;
}

void mov_enter_traf(MovWalk &w) { w.frag.table = kNoTable; }

// The track, its defaults and where its data starts: the base offset it
// gives, else the moof (default-base-is-moof, and the first traf), else the
// end of the previous traf's data.
void mov_parse_tfhd_box(MovWalk &w, MovCursor &c)
{
    MovFragment &f = w.frag;
    const uint32_t flags = c.be32() & 0xFFFFFFu;
    const uint32_t track_id = c.be32();
    f.defaults = mov_trex_of(w, track_id);
    f.base = flags & MOV_TFHD_BASE_IS_MOOF ? f.moof_pos : f.data_end;
    if (flags & MOV_TFHD_BASE_DATA_OFFSET) f.base = c.be64();
    if (flags & MOV_TFHD_DESCRIPTION_INDEX) f.defaults.description = c.be32();
    if (flags & MOV_TFHD_DEFAULT_DURATION) f.defaults.duration = c.be32();
    if (flags & MOV_TFHD_DEFAULT_SIZE) f.defaults.size = c.be32();
    if (flags & MOV_TFHD_DEFAULT_FLAGS) f.defaults.flags = c.be32();
    f.slot = mov_slot_of_track(w.ctx, track_id);
    f.table = c.ok() ? mov_fragment_table(w, f.slot) : kNoTable;
    f.next_pos = f.base;
    if (f.table == kNoTable) return;
    // Without tfdt, the fragment goes on where the track's last sample ends.
    MovSampleTable &t = w.tables->of[f.table];
    t.timescale = w.ctx->tracks[f.slot].mdhd.timescale;
    f.decode_time = t.count ? t[t.count - 1].decode_time + t[t.count - 1].duration : 0;
}

void mov_parse_tfdt_box(MovWalk &w, MovCursor &c)
{
    const uint32_t version = c.u8();
    c.skip(3);  // flags
    const uint64_t time = version == 1 ? c.be64() : c.be32();
    if (c.ok() && time <= INT64_MAX) w.frag.decode_time = static_cast<int64_t>(time);
}

void mov_parse_trun_box(MovWalk &w, MovCursor &c)
{
    MovFragment &f = w.frag;
    c.skip(1);  // version: composition offsets are read as signed in both
    const uint32_t flags = c.be16() << 8 | c.u8();
    uint32_t count = c.be32();
    const int64_t data_offset = flags & MOV_TRUN_DATA_OFFSET ? static_cast<int32_t>(c.be32()) : 0;
    const uint32_t first_flags = flags & MOV_TRUN_FIRST_FLAGS ? c.be32() : f.defaults.flags;
    if (f.table == kNoTable || !c.ok()) return;
    const uint32_t entry_size = 4 * ((flags & MOV_TRUN_DURATION ? 1 : 0) + (flags & MOV_TRUN_SIZE ? 1 : 0) +
                                     (flags & MOV_TRUN_FLAGS ? 1 : 0) + (flags & MOV_TRUN_COMPOSITION ? 1 : 0));
    if (entry_size && count > c.left() / entry_size) count = c.left() / entry_size;
    // Samples without fields and of no bytes take nothing of the file.
    if (!entry_size && f.defaults.size == 0) count = 0;
    uint64_t pos = f.next_pos;
    if (flags & MOV_TRUN_DATA_OFFSET) {
        if (data_offset < 0 && static_cast<uint64_t>(-data_offset) > f.base) return;
        pos = f.base + static_cast<uint64_t>(data_offset);
    }
    MovSampleTable &t = w.tables->of[f.table];
    const bool video = f.table == MOV_TABLE_VIDEO;
    for (uint32_t i = 0; i < count; ++i) {
        const MovRunSample r = mov_read_run_sample(c, flags, f.defaults, i == 0 ? first_flags : f.defaults.flags);
        MovSample *s = mov_run_sample_fits(w, t.count, pos, r.size) ? t.reach(t.count) : nullptr;
        if (!s) {
            f.ended[f.table] = true;
            break;
        }
        s->pos = pos;
        s->size = r.size;
        s->decode_time = f.decode_time;
        s->duration = r.duration;
        s->composition_offset = r.composition_offset;
        s->description = f.defaults.description ? f.defaults.description - 1 : 0;
        s->key = video && !(r.flags & MOV_SAMPLE_NON_SYNC);
        s->track = f.slot & 3u;
        ++t.count;
        f.decode_time += r.duration;
        pos += r.size;
    }
    f.next_pos = pos;
    f.data_end = pos;
}

}  // namespace vrc
