// Where the samples the walk finds are kept: tables of 32-byte samples in
// blocks mapped as they fill, and the public record's frame index, which
// shows the first of them to hosts as the record always has (at most
// MOV_MAX_FRAMES a table, positions in 32 bits).
#include <cstring>

#include "vrc_debug.h"
#include "vrc_mp4_demuxer_internal.h"
#include "vrc_platform.h"

namespace vrc {

namespace {

constexpr size_t kBlockBytes = sizeof(MovSample) * MovSampleTable::kBlockSamples;

// A time in the track's units as milliseconds, rounded down; with no
// timescale the units are milliseconds.
uint32_t mov_time_ms(int64_t t, uint32_t timescale)
{
    const uint64_t units = t > 0 ? static_cast<uint64_t>(t) : 0;
    return static_cast<uint32_t>(timescale ? units * 1000 / timescale : units);
}

mov_frame_info_t mov_info_of(const MovSample &s, uint32_t timescale)
{
    mov_frame_info_t info{};
    info.size = s.size;
    info.track_id = s.track;
    info.key_frame = s.key;
    info.timestamp = mov_time_ms(s.decode_time, timescale);
    return info;
}

// The public index of table k: the first samples up to the capacity or the
// first one past 32-bit positions, which a host could not be told of.
uint32_t mov_publish_table(const MovSampleTable &t, mov_frame_entry_t *out, bool log)
{
    const uint32_t n = t.count < MOV_MAX_FRAMES ? t.count : MOV_MAX_FRAMES;
    for (uint32_t i = 0; i < n; ++i) {
        if (t[i].pos > UINT32_MAX) {
            if (log)
                vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__,
                            "sample %u lies beyond 4 GiB: the index ends in front of it\n", i);
            return i;
        }
        out[i].info = mov_info_of(t[i], t.timescale);
        out[i].file_pos = static_cast<uint32_t>(t[i].pos);
    }
    return n;
}

}  // namespace

MovSample *MovSampleTable::reach(uint32_t i)
{
    if (i >= limit) return nullptr;
    while (i >= room) {
        auto *block = static_cast<MovSample *>(page_alloc(kBlockBytes));
        if (!block) return nullptr;
        blocks[room >> kBlockShift] = block;
        room += kBlockSamples;
    }
    return &(*this)[i];
}

void MovSampleTable::reset(uint32_t samples)
{
    for (uint64_t at = 0; at < room; at += kBlockSamples) {
        page_free(blocks[at >> kBlockShift], kBlockBytes);
        blocks[at >> kBlockShift] = nullptr;
    }
    room = 0;
    count = 0;
    timescale = 0;
    limit = samples;
}

void mov_publish_samples(MovWalk &w)
{
    vrc_mp4_demuxer_t *ctx = w.ctx;
    const bool log = mov_demuxer_of(ctx) == nullptr;  // a host of the public record reads only it
    ctx->nr_video_frames = mov_publish_table(w.tables->of[MOV_TABLE_VIDEO], ctx->video_frames, log);
    ctx->nr_audio_frames = mov_publish_table(w.tables->of[MOV_TABLE_AUDIO], ctx->audio_frames, log);
}

uint32_t mov_entry_count(const vrc_mp4_demuxer_t *ctx, uint32_t k)
{
    if (const MovDemuxer *d = mov_demuxer_of(ctx)) return d->samples.of[k].count;
    return k == MOV_TABLE_VIDEO ? ctx->nr_video_frames : ctx->nr_audio_frames;
}

MovEntry mov_entry(const vrc_mp4_demuxer_t *ctx, uint32_t k, uint32_t i)
{
    MovEntry e{};
    if (const MovDemuxer *d = mov_demuxer_of(ctx)) {
        const MovSampleTable &t = d->samples.of[k];
        e.info = mov_info_of(t[i], t.timescale);
        e.pos = t[i].pos;
        e.time = t[i].time();
        return e;
    }
    const mov_frame_entry_t &f = (k == MOV_TABLE_VIDEO ? ctx->video_frames : ctx->audio_frames)[i];
    e.info = f.info;
    e.pos = f.file_pos;
    return e;
}

}  // namespace vrc

extern "C" VRC_API int vrc_mp4_demuxer_index_counts(const vrc_mp4_demuxer_t *ctx, vrc_mp4_index_counts_t *out)
{
    const vrc::MovDemuxer *d = vrc::mov_demuxer_of(ctx);
    if (!d || !out || out->size < 2 * sizeof(uint32_t)) return -1;
    const vrc::MovSampleTable &video = d->samples.of[vrc::MOV_TABLE_VIDEO];
    vrc_mp4_index_counts_t c{};
    c.size = out->size < sizeof c ? out->size : static_cast<uint32_t>(sizeof c);
    c.video_samples = video.count;
    for (uint32_t i = 0; i < video.count; ++i) c.video_keys += video[i].key;
    c.audio_samples = d->samples.of[vrc::MOV_TABLE_AUDIO].count;
    std::memcpy(out, &c, c.size);
    return 0;
}
