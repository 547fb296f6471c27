// What the info and extract subcommands share: opening an MP4 file with its
// header read, and naming what they find in it.
#ifndef VRC_TOOLS_MP4_INPUT_H
#define VRC_TOOLS_MP4_INPUT_H

#include <cstdint>
#include <memory>
#include <string>

#include "vrc_mp4_demuxer.h"

namespace vrc_tool {

struct DemuxerFree {
    void operator()(vrc_mp4_demuxer_t *ctx) const { vrc_mp4_demuxer_free(ctx); }
};
using Demuxer = std::unique_ptr<vrc_mp4_demuxer_t, DemuxerFree>;

// Why path is no file to read: a pipe or a device (the reader would wait for
// ever on a pipe), or a directory. Empty when it may be one.
std::string input_problem(const std::string &path);
// A demuxer on path with its header read; null with the reason when the file
// is no file to read, cannot be opened, holds no box the reader recognises
// or, read through its sample tables, no track.
Demuxer open_mp4(const std::string &path, std::string *reason);
// The same, also for a file without a track (to say why it cannot be repaired).
Demuxer open_mp4_boxes(const std::string &path, std::string *reason);

// Track slots the file describes: its mr00 entries in private mode, its trak
// boxes otherwise (at most MOV_MAX_TRACKS).
uint32_t track_count(const vrc_mp4_demuxer_t &ctx);
// The frame table a track fills, VRC_MEDIA_VIDEO or VRC_MEDIA_AUDIO (another
// value: none). The tables belong to media types: in table mode a track
// fills the one its handler names, in private mode the one of its mr00 entry.
uint32_t track_kind(const vrc_mp4_demuxer_t &ctx, uint32_t slot);
// The track of that kind the reader delivers: in table mode the first whose
// codec it reads (vrc::codec_entry_readable), in private mode the first;
// track_count(ctx) when there is none.
uint32_t read_track(const vrc_mp4_demuxer_t &ctx, uint32_t kind);
// The codec of the track of that kind the reader delivers; 0 when none.
uint32_t codec_of_kind(const vrc_mp4_demuxer_t &ctx, uint32_t kind);
// Why a picture or sound track cannot be read when no other of its kind
// is: "holds H.265 (sample entry 'hvc1'), which this program does not
// read"; empty when every kind the file has is read.
std::string unread_codec(const vrc_mp4_demuxer_t &ctx);
// The samples of the tracks read (video, audio) that the reader's index
// holds, against those their tables declare: fewer in a file cut short. In
// private mode, which reads the frame records, the two agree.
// Fewer are kept than declared either in a file cut short (a download that
// stopped: vrc_mp4_demuxer_check_complete says the file at path is not
// whole), which is read as far as its whole samples go, or in a whole file
// whose tables point past its end.
struct SampleCounts {
    uint32_t kept[2];
    uint32_t declared[2];
    bool cut_short;
    bool short_of_declared() const { return kept[0] < declared[0] || kept[1] < declared[1]; }
};
SampleCounts sample_counts(const vrc_mp4_demuxer_t &ctx, const std::string &path);
// A file cut short's "cut short: 50 of 100 video and 17 of 33 audio samples
// kept", as text and as a JSON member with a comma behind; empty for others.
std::string cut_short_text(const SampleCounts &c);
std::string cut_short_json(const SampleCounts &c);
// A whole file whose tables declare samples it does not hold, as a reason;
// empty otherwise.
std::string unreadable_samples(const SampleCounts &c);

// "h264", "aac", "g711u", "none" for 0, or "unknown".
const char *codec_name(uint32_t codec_id);
// A recording without moov read through its frame records: what they gave
// (no_moov 0 for any other file), as a text ("no moov: ...", empty for
// other files) and as JSON members with a comma behind (likewise).
vrc_mp4_recovery_t recovery_of(const vrc_mp4_demuxer_t &ctx);
// Every sample the reader's index holds, per table (the public record shows
// at most MOV_MAX_FRAMES of them).
vrc_mp4_index_counts_t index_counts_of(const vrc_mp4_demuxer_t &ctx);
std::string recovery_text(const vrc_mp4_recovery_t &r);
std::string recovery_json(const vrc_mp4_recovery_t &r);

const char *mode_name(const vrc_mp4_demuxer_t &ctx);  // "private" or "table"
// "YYYY-MM-DD HH:MM:SS" of seconds since 1970 UTC, in UTC.
std::string utc_text(int64_t seconds);

}  // namespace vrc_tool

#endif
