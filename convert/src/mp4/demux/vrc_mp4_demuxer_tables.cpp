// The sample tables of a track and the sample table they fill: one entry
// per sample with size, key flag, owning track, file position, times in the
// track's units and description, laid into the table of the track's media
// type in sample order.
//
// Every count read from a file is hostile: each loop is bounded by the
// entries the payload holds and by the samples the file can hold, and never
// runs further than the samples the file declares.
#include "vrc_debug.h"
#include "vrc_mp4_demuxer_internal.h"
#include "vrc_mp4_muxer.h"

namespace vrc {

namespace {

// The table filled by the current track: video for a video handler, audio
// for a sound handler, none for any other or for a track of the kind that
// does not take the table.
MovFrameTable mov_frame_table(MovWalk &w)
{
    MovFrameTable t{};
    t.slot = w.slot();
    if (!mov_track_fills_table(w)) return t;
    const uint32_t kind = w.track().handler_kind;
    if (kind > MOV_TABLE_AUDIO) return t;
    t.samples = &w.tables->of[kind];
    t.samples->timescale = w.track().mdhd.timescale;
    t.known = &w.known[kind];
    t.located = &w.located[kind];
    return t;
}

// Version, flags and the entry count of a table box; the count shrinks to
// the whole entries the payload holds (a division, which cannot wrap).
template <typename Box>
uint32_t mov_read_table_header(MovCursor &c, Box &box, uint32_t entry_size)
{
    box.version = static_cast<uint8_t>(c.u8());
    c.copy(box.flags, sizeof box.flags);
    box.entry_count = c.be32();
    const uint32_t fit = c.left() / entry_size;
    return box.entry_count < fit ? box.entry_count : fit;
}

void mov_note_known(const MovFrameTable &t, uint32_t samples)
{
    if (t.known && samples > *t.known) *t.known = samples;
}

// How far the chunk runs may fill: the samples declared so far by stts or
// stsz, or as many as the file can hold while neither has come.
uint32_t mov_fill_limit(const MovFrameTable &t)
{
    return *t.known ? *t.known : t.samples->limit;
}

// Whether sample f can start at pos: inside the file.
bool mov_position_fits(const MovWalk &w, uint32_t f, uint64_t pos)
{
    if (w.file_size && pos >= w.file_size) {
        vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__,
                    "sample %u starts past the end of the file: the index ends in front of it\n", f);
        return false;
    }
    return true;
}

// Chunk offsets of stco (4 bytes) or co64 (8): each sample of chunk j gets
// the chunk's offset plus the sizes of the samples before it in the chunk.
// stsc has left the chunk number in pos. The samples placed end in front of
// the first that lies past the file's end.
void mov_parse_chunk_offsets(MovWalk &w, MovCursor &c, uint32_t entry_size)
{
    const uint32_t n = mov_read_table_header(c, w.track().stco, entry_size);
    const MovFrameTable t = mov_frame_table(w);
    if (!t.samples) return;
    MovSampleTable &samples = *t.samples;
    const uint32_t limit = samples.count;
    uint32_t f = 0;
    bool placing = true;
    for (uint32_t j = 0; placing && j < n && f < limit; ++j) {
        uint64_t pos = entry_size == 8 ? c.be64() : c.be32();
        for (; f < limit && samples[f].pos == j; ++f) {
            placing = mov_position_fits(w, f, pos);
            if (!placing) break;
            samples[f].pos = pos;
            pos += samples[f].size;
        }
    }
    *t.located = f;
}

// Samples no chunk offset placed still hold their chunk number as position:
// delivered, they would be bytes of some other place, as many as the sizes
// claim. The table ends in front of the first of them.
void mov_trim_unlocated(MovWalk &w)
{
    for (uint32_t k = MOV_TABLE_VIDEO; k <= MOV_TABLE_AUDIO; ++k) {
        uint32_t &count = w.tables->of[k].count;
        if (count <= w.located[k]) continue;
        vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__,
                    "samples %u to %u lie in no listed chunk: the index ends in front of them\n", w.located[k],
                    count - 1);
        count = w.located[k];
    }
}

// A video track without stss has only sync samples: every frame is a key frame.
void mov_mark_all_key_without_stss(MovWalk &w)
{
    if (w.video_stss) return;
    MovSampleTable &video = w.tables->of[MOV_TABLE_VIDEO];
    for (uint32_t f = 0; f < video.count; ++f) video[f].key = 1;
}

}  // namespace

void mov_close_moov_tables(MovWalk &w)
{
    if (w.moov_closed) return;
    w.moov_closed = true;
    mov_trim_unlocated(w);
    mov_mark_all_key_without_stss(w);
}

void mov_trim_undescribed(MovWalk &w)
{
    if (!mov_demuxer_of(w.ctx)) return;
    for (MovSampleTable &t : w.tables->of) {
        for (uint32_t f = 0; f < t.count; ++f) {
            const uint32_t slot = t[f].track;
            const uint32_t kept = slot < MOV_MAX_TRACKS ? mov_demuxer_description_count(w.ctx, slot) : 0;
            // Description 0 is also what files without stsd entries name:
            // such samples are delivered as they always were.
            if (t[f].description == 0 || t[f].description < kept) continue;
            vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__,
                        "sample %u names sample description %u, which was not kept: the index ends in front of it\n",
                        f, t[f].description + 1);
            t.count = f;
        }
    }
}

void mov_parse_stts_box(MovWalk &w, MovCursor &c)
{
    mov_box_stts_t &box = w.track().stts;
    const uint32_t n = mov_read_table_header(c, box, 8);
    const MovFrameTable t = mov_frame_table(w);
    int64_t time = 0;  // exact, in the track's units
    uint32_t f = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t count = c.be32();
        const uint32_t delta = c.be32();
        if (i < 8) box.entries[i] = mov_stts_entry_t{count, delta};
        for (uint32_t k = 0; t.samples && k < count; ++k, ++f) {
            MovSample *s = t.samples->reach(f);
            if (!s) break;
            // stts comes first of the tables that fill the times, as every
            // writer orders them: ctts and stsc add to what it wrote.
            s->decode_time = time;
            s->duration = delta;
            s->composition_offset = 0;
            s->description = 0;
            s->track = t.slot & 3u;
            time += delta;
        }
    }
    mov_note_known(t, f);
}

void mov_parse_stsz_box(MovWalk &w, MovCursor &c)
{
    mov_box_stsz_t &box = w.track().stsz;
    box.version = static_cast<uint8_t>(c.u8());
    c.copy(box.flags, sizeof box.flags);
    box.sample_size = c.be32();
    box.sample_count = c.be32();
    box.size_sum = 0;
    const MovFrameTable t = mov_frame_table(w);
    // Per-sample sizes count as far as the payload holds them; samples of
    // one size as far as the file holds their bytes.
    const uint64_t listed = box.sample_size ? w.file_size / box.sample_size : c.left() / 4;
    const uint32_t n = box.sample_count < listed ? box.sample_count : static_cast<uint32_t>(listed);
    uint32_t indexed = t.samples && n > t.samples->limit ? t.samples->limit : n;
    for (uint32_t i = 0; i < indexed || (!box.sample_size && i < n); ++i) {
        const uint32_t size = box.sample_size ? box.sample_size : c.be32();
        if (!box.sample_size) box.size_sum += size;
        if (!t.samples || i >= indexed) continue;
        MovSample *s = size <= VRC_MUXER_MAX_SAMPLE_SIZE ? t.samples->reach(i) : nullptr;
        if (!s) {
            vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__, "sample %u of %u bytes: the index ends in front of it\n",
                        i, size);
            indexed = i;
            continue;
        }
        s->size = size;
        s->track = t.slot & 3u;
    }
    if (!t.samples) return;
    t.samples->count = indexed;
    mov_note_known(t, indexed);
}

// Runs of (first chunk, samples per chunk): each sample gets its chunk's
// number, counted from 0, in pos. A first chunk of 0 or one that goes back
// continues the current chunk; runs of no samples are jumped over, so no
// chunk number makes the loop turn without filling an entry.
void mov_parse_stsc_box(MovWalk &w, MovCursor &c)
{
    const uint32_t n = mov_read_table_header(c, w.track().stsc, 12);
    const MovFrameTable t = mov_frame_table(w);
    if (!t.samples) return;
    uint32_t limit = mov_fill_limit(t);
    uint32_t f = 0;
    uint32_t chunk = 0;
    uint32_t per_chunk = 0;
    uint32_t description = 0;
    auto fill_chunks_until = [&](uint64_t end_chunk) {
        if (per_chunk == 0) {
            if (end_chunk > chunk) chunk = static_cast<uint32_t>(end_chunk);
            return;
        }
        for (; chunk < end_chunk && f < limit; ++chunk)
            for (uint32_t k = 0; k < per_chunk && f < limit; ++k) {
                MovSample *s = t.samples->reach(f);
                if (!s) {
                    limit = f;
                    break;
                }
                s->description = description;
                s->pos = chunk;
                ++f;
            }
    };
    for (uint32_t i = 0; i < n && f < limit; ++i) {
        const uint32_t first = c.be32();
        const uint32_t samples = c.be32();
        const uint32_t index = c.be32();  // sample description index, from 1
        const uint32_t start = first > chunk ? first - 1 : chunk;
        fill_chunks_until(start);
        chunk = start > chunk ? start : chunk;
        per_chunk = samples;
        description = index ? index - 1 : 0;
    }
    fill_chunks_until(UINT64_MAX);
}

// Composition offsets: signed in both versions (writers put negative ones
// in version 0 too). Runs past the samples declared are not read.
void mov_parse_ctts_box(MovWalk &w, MovCursor &c)
{
    mov_box_stco_t header{};  // the ctts header is not kept
    const uint32_t n = mov_read_table_header(c, header, 8);
    const MovFrameTable t = mov_frame_table(w);
    if (!t.samples) return;
    const uint32_t limit = mov_fill_limit(t);
    uint32_t f = 0;
    for (uint32_t i = 0; i < n && f < limit; ++i) {
        const uint32_t count = c.be32();                     // sample_count
        const auto offset = static_cast<int32_t>(c.be32());  // sample_offset
        for (uint32_t k = 0; k < count && f < limit; ++k, ++f) {
            MovSample *s = t.samples->reach(f);
            if (!s) return;
            s->composition_offset = offset;
        }
    }
}

void mov_parse_stco_box(MovWalk &w, MovCursor &c) { mov_parse_chunk_offsets(w, c, 4); }

void mov_parse_co64_box(MovWalk &w, MovCursor &c) { mov_parse_chunk_offsets(w, c, 8); }

// Key frames, numbered from 1; numbers past the samples declared mark nothing.
void mov_parse_stss_box(MovWalk &w, MovCursor &c)
{
    mov_box_stco_t header{};  // the stss header is not kept
    const uint32_t n = mov_read_table_header(c, header, 4);
    if (w.track().handler_kind != 0 || !mov_track_fills_table(w)) return;
    w.video_stss = true;
    const MovFrameTable t = mov_frame_table(w);
    const uint32_t limit = mov_fill_limit(t);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t s = c.be32();
        MovSample *sample = s >= 1 && s <= limit ? t.samples->reach(s - 1) : nullptr;
        if (sample) sample->key = 1;
    }
}

}  // namespace vrc
