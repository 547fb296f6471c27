// Arbitrary bytes as an MP4 file: the header walk (and the walk of a
// recording's frame records when it has no moov) ends, every frame the
// demuxer delivers fits the buffer it was given, reading ends after at most
// one read per indexed frame or per record the file could hold, and seeks
// to times around the recording's start keep all of that true. The public
// reader describes every track and edit, and its reads keep to the same
// bounds; a sample it cannot fit it asks more for than the buffer holds.
#include <cstdlib>
#include <vector>

#include "fuzz_target.h"
#include "vrc_debug.h"
#include "vrc_mp4_demuxer.h"
#include "vrc_mp4_reader.h"

namespace {

// Small enough that oversized frames are common; exactly that much memory,
// so a write past it is caught.
constexpr int kBufferSize = 8192;
// The shortest thing a read can move past: a private frame record's header.
constexpr size_t kSmallestRecord = 8;

void read_to_end(vrc_mp4_demuxer_t *ctx, std::vector<uint8_t> &buf, size_t file_size)
{
    vrc_mp4_index_counts_t counts{};
    counts.size = sizeof counts;
    vrc_mp4_demuxer_index_counts(ctx, &counts);
    // Every sample takes a byte of the file: no table may hold more.
    if (counts.video_samples > file_size || counts.audio_samples > file_size) std::abort();
    const size_t bound = size_t{counts.video_samples} + counts.audio_samples + file_size / kSmallestRecord + 2;
    vrc_media_packet_t pkt;
    for (size_t reads = 0; vrc_mp4_demuxer_read_packet(ctx, &pkt, buf.data(), kBufferSize) == 0; ++reads) {
        if (reads > bound || pkt.size > kBufferSize || pkt.data != buf.data()) std::abort();
    }
}

void read_with_reader(const std::string &path, std::vector<uint8_t> &buf, size_t file_size)
{
    vrc_mp4_reader_t *reader = vrc_mp4_reader_open(path.c_str());
    if (!reader) return;
    for (uint32_t t = 0; int(t) < vrc_mp4_reader_track_count(reader); ++t) {
        vrc_mp4_track_t track{};
        track.size = sizeof track;
        if (vrc_mp4_reader_track(reader, t, &track) != 0 || track.edits > 16) std::abort();
        vrc_mp4_edit_t edit{};
        edit.size = sizeof edit;
        for (uint32_t e = 0; e < track.edits; ++e)
            if (vrc_mp4_reader_edit(reader, t, e, &edit) != 0) std::abort();
    }
    const size_t bound = 2 * MOV_MAX_FRAMES + file_size / kSmallestRecord + 2;
    vrc_mp4_sample_t s{};
    s.size = sizeof s;
    int rc = 0;
    for (size_t reads = 0; (rc = vrc_mp4_reader_read(reader, buf.data(), kBufferSize, &s)) == 0; ++reads)
        if (reads > bound || s.bytes > kBufferSize) std::abort();
    if (rc == VRC_MP4_READER_SHORT && s.bytes <= kBufferSize) std::abort();
    vrc_mp4_reader_close(reader);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = vrc_fuzz::scratch_path("input.mp4");
    if (!vrc_fuzz::write_scratch(path, data, size)) return 0;
    vrc_log_set_level(VRC_LOG_ERR);
    vrc_mp4_demuxer_t *ctx = vrc_mp4_demuxer_new(0, path.c_str());
    if (!ctx) return 0;
    vrc_mp4_demuxer_read_header(ctx);
    // A recording without moov indexes a frame per whole record, and at
    // most one frame is cut.
    vrc_mp4_recovery_t recovery{};
    recovery.size = sizeof recovery;
    if (vrc_mp4_demuxer_recovery(ctx, &recovery) != 0 || recovery.cut_frames > 1 ||
        (recovery.no_moov && (recovery.frames != ctx->nr_video_frames + ctx->nr_audio_frames ||
                              recovery.frames > size / kSmallestRecord)))
        std::abort();
    std::vector<uint8_t> buf(kBufferSize);
    read_to_end(ctx, buf, size);
    // The last byte picks a zone and an offset into the recording, so seeks
    // land before, inside and after it.
    const uint8_t pick = size ? data[size - 1] : 0;
    ctx->tz = (pick & 0x0F) * 1800u;
    ctx->tz_west = (pick >> 4) & 1;
    ctx->dst = (pick >> 5) & 1;
    const int64_t start = ctx->track_meta[0].creation_time;
    for (const int64_t offset : {int64_t{0}, int64_t{pick >> 6} + 1, int64_t{ctx->duration}, int64_t{-1}}) {
        if (vrc_mp4_demuxer_seek(ctx, vrc_gmtime_to_date_time(start + offset, 0, 0, 0)) == 0)
            read_to_end(ctx, buf, size);
    }
    vrc_mp4_demuxer_free(ctx);
    read_with_reader(path, buf, size);
    return 0;
}
