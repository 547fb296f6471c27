#include "mp4_input.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "subcommand.h"
#include "vrc_codec.h"
#include "vrc_date_time.h"
#include "vrc_platform.h"

namespace vrc_tool {

namespace {

// Why the reader could not open path, in the system's words: opened again
// here, since the library keeps no reason.
std::string open_failure(const std::string &path)
{
    std::FILE *again = vrc::file_open(path.c_str(), "rb");
    const int error = errno;
    if (!again) return "cannot open: " + system_reason(error);
    std::fclose(again);
    return "cannot open";
}

}  // namespace

std::string input_problem(const std::string &path)
{
    vrc::FileIdentity identity;
    if (!vrc::file_identity(path.c_str(), &identity) || identity.regular) return std::string();
    return identity.directory ? "is a directory" : "not a regular file";
}

Demuxer open_mp4_boxes(const std::string &path, std::string *reason)
{
    *reason = input_problem(path);
    if (!reason->empty()) return nullptr;
    Demuxer ctx(vrc_mp4_demuxer_new(0, path.c_str()));
    if (!ctx) {
        *reason = open_failure(path);
        return nullptr;
    }
    vrc_mp4_demuxer_read_header(ctx.get());
    if (ctx->box_info.nr_boxes == 0) {
        *reason = "not an MP4 file (it must begin with an ftyp box)";
        return nullptr;
    }
    return ctx;
}

Demuxer open_mp4(const std::string &path, std::string *reason)
{
    Demuxer ctx = open_mp4_boxes(path, reason);
    if (!ctx) return nullptr;
    // Without the recorder's private records the frames are found through
    // the tables in moov, which a download cut short never received.
    if (!ctx->private_mode && ctx->box_info.nr_tracks == 0) {
        *reason = "no track to read: the moov box is missing or empty (a file cut short?)";
        return nullptr;
    }
    return ctx;
}

uint32_t track_count(const vrc_mp4_demuxer_t &ctx)
{
    const uint32_t declared = ctx.private_mode ? ctx.nr_track_meta : ctx.box_info.nr_tracks;
    return declared < MOV_MAX_TRACKS ? declared : MOV_MAX_TRACKS;
}

uint32_t track_kind(const vrc_mp4_demuxer_t &ctx, uint32_t slot)
{
    return ctx.private_mode ? ctx.track_meta[slot].media_type : ctx.tracks[slot].handler_kind;
}

uint32_t read_track(const vrc_mp4_demuxer_t &ctx, uint32_t kind)
{
    for (uint32_t slot = 0; slot < track_count(ctx); ++slot) {
        const bool readable = ctx.private_mode || vrc::codec_entry_readable(ctx.tracks[slot].sample_entry_type, kind);
        if (track_kind(ctx, slot) == kind && readable) return slot;
    }
    return track_count(ctx);
}

uint32_t codec_of_kind(const vrc_mp4_demuxer_t &ctx, uint32_t kind)
{
    const uint32_t slot = read_track(ctx, kind);
    return slot < track_count(ctx) ? ctx.track_meta[slot].codec_id : 0;
}

std::string unread_codec(const vrc_mp4_demuxer_t &ctx)
{
    for (const uint32_t kind : {VRC_MEDIA_VIDEO, VRC_MEDIA_AUDIO}) {
        if (read_track(ctx, kind) < track_count(ctx)) continue;
        for (uint32_t slot = 0; slot < track_count(ctx); ++slot) {
            if (track_kind(ctx, slot) != kind || ctx.tracks[slot].sample_entry_type == 0) continue;
            char what[96];
            vrc::entry_text(ctx.tracks[slot].sample_entry_type, what, sizeof what);
            return std::string("holds ") + what + ", which this program does not read";
        }
    }
    return std::string();
}

SampleCounts sample_counts(const vrc_mp4_demuxer_t &ctx, const std::string &path)
{
    const vrc_mp4_index_counts_t counts = index_counts_of(ctx);
    SampleCounts c{{counts.video_samples, counts.audio_samples}, {counts.video_samples, counts.audio_samples}, false};
    if (ctx.private_mode) return c;
    for (const uint32_t kind : {VRC_MEDIA_VIDEO, VRC_MEDIA_AUDIO}) {
        const uint32_t slot = read_track(ctx, kind);
        if (slot < track_count(ctx)) c.declared[kind] = std::max(c.kept[kind], ctx.tracks[slot].stsz.sample_count);
    }
    c.cut_short = c.short_of_declared() && vrc_mp4_demuxer_check_complete(path.c_str()) == 0;
    return c;
}

std::string cut_short_text(const SampleCounts &c)
{
    if (!c.cut_short) return std::string();
    return "cut short: " + std::to_string(c.kept[0]) + " of " + std::to_string(c.declared[0]) + " video and " +
           std::to_string(c.kept[1]) + " of " + std::to_string(c.declared[1]) + " audio samples kept";
}

std::string cut_short_json(const SampleCounts &c)
{
    if (!c.cut_short) return std::string();
    return "\"cut_short\":{\"video_kept\":" + std::to_string(c.kept[0]) + ",\"video_declared\":" +
           std::to_string(c.declared[0]) + ",\"audio_kept\":" + std::to_string(c.kept[1]) +
           ",\"audio_declared\":" + std::to_string(c.declared[1]) + "},";
}

std::string unreadable_samples(const SampleCounts &c)
{
    if (!c.short_of_declared() || c.cut_short) return std::string();
    const int k = c.kept[0] < c.declared[0] ? 0 : 1;
    return "only " + std::to_string(c.kept[k]) + " of its " + std::to_string(c.declared[k]) + " " +
           (k == 0 ? "video" : "audio") + " samples can be read (the others lie past its end)";
}

const char *codec_name(uint32_t codec_id)
{
    if (codec_id == 0) return "none";
    const vrc::CodecRow *codec = vrc::codec_by_id(codec_id);
    return codec ? codec->short_name : "unknown";
}

vrc_mp4_index_counts_t index_counts_of(const vrc_mp4_demuxer_t &ctx)
{
    vrc_mp4_index_counts_t c{};
    c.size = sizeof c;
    vrc_mp4_demuxer_index_counts(&ctx, &c);
    return c;
}

vrc_mp4_recovery_t recovery_of(const vrc_mp4_demuxer_t &ctx)
{
    vrc_mp4_recovery_t r{};
    r.size = sizeof r;
    vrc_mp4_demuxer_recovery(&ctx, &r);
    return r;
}

std::string recovery_text(const vrc_mp4_recovery_t &r)
{
    if (!r.no_moov) return std::string();
    return "no moov: " + std::to_string(r.frames) + " frames recovered from the frame records, " +
           std::to_string(r.cut_frames) + " cut off";
}

std::string recovery_json(const vrc_mp4_recovery_t &r)
{
    if (!r.no_moov) return std::string();
    return "\"no_moov\":true,\"recovered_frames\":" + std::to_string(r.frames) +
           ",\"cut_frames\":" + std::to_string(r.cut_frames) + ",";
}

const char *mode_name(const vrc_mp4_demuxer_t &ctx)
{
    return ctx.private_mode ? "private" : "table";
}

std::string utc_text(int64_t seconds)
{
    const vrc_date_time_t t = vrc_gmtime_to_date_time(seconds, 0, 0, 0);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", VRC_DT_YEAR(t) + 1970, VRC_DT_MON(t),
                  VRC_DT_MDAY(t), VRC_DT_HOUR(t), VRC_DT_MIN(t), VRC_DT_SEC(t));
    return text;
}

}  // namespace vrc_tool
