// A legacy recording as a frame source. Frames go from the input's large
// blocks straight to the muxer's writes (the samples point into the blocks),
// so that each MiB costs about one read and one write; a clip finds its
// first key frame from the frame headers, seeking over the payloads.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "vrc_frame_source.h"
#include "vrc_oldrecord_demuxer.h"
#include "vrc_oldrecord_demuxer_internal.h"
#include "vrc_oldrecord_header.h"
#include "vrc_output.h"
#include "vrc_uri_io_block.h"

namespace vrc {
namespace {

constexpr uint32_t kHeaderSize = VRC_OLDREC_HEADER_SIZE;
constexpr uint32_t kMagicSize = 4;
// A frame as its header describes it.
struct HeaderFrame {
    uint64_t offset;  // of the payload
    uint32_t size;
    bool video;
    bool key;
    uint32_t timestamp;
    uint32_t utctime;
};

class LegacySource final : public FrameSource {
public:
    LegacySource(vrc_oldrecord_demuxer_t *d, const char *path, Progress *progress, vrc_convert_result_t *result)
        : d_(d), path_(path), progress_(progress), result_(result)
    {
        d_->buffer_size = kPayloadCapacity;
    }
    ~LegacySource() override { vrc_oldrecord_demuxer_free(d_); }

    // 0, or the failure of a recording that cannot be read.
    int open(uint8_t *payload)
    {
        if (!vrc::file_identity(path_, &identity_))
            return fail_result(result_, VRC_CONVERT_ERR_INPUT, "cannot open %s: %s", path_, vrc::file_error_text());
        HeaderFrame frame;
        if (payload && next_header(&frame, payload)) take_anchor(frame);
        vrc_oldrecord_demuxer_move(d_, 0);
        return 0;
    }

    void describe(vrc_track_info_t tracks[2]) const override
    {
        std::memset(tracks, 0, 2 * sizeof(vrc_track_info_t));
        tracks[0].media_type = VRC_MEDIA_VIDEO;
        tracks[0].codec_id = VRC_CODEC_H264;
        tracks[0].timescale = 1000;
        tracks[0].width = 1920;  // replaced by the stream's own picture size when its SPS parses
        tracks[0].height = 1080;
        tracks[1].media_type = VRC_MEDIA_AUDIO;
        tracks[1].codec_id = VRC_CODEC_G711U;
        tracks[1].timescale = 1000;
        tracks[1].channels = 1;
        tracks[1].sample_rate = 8000;
        tracks[1].bitwidth = 16;
    }

    // A frame whose payload cannot be read (a header of size 0, say) is
    // passed over: the demuxer has already moved past its header, so the
    // frames after it are kept.
    SourceStep read(Frame *frame, uint8_t *payload) override
    {
        const SourceStep step = read_packet(&frame->packet, payload);
        frame->time = MovSampleTime{};
        frame->time.decode_time = frame->packet.timestamp;
        frame->exact = false;
        return step;
    }

    SourceStep read_packet(vrc_media_packet_t *packet, uint8_t *payload)
    {
        // The blocks come after any header scan, which reads little at a
        // time, and before the first frame points into the buffer.
        if (!blocks_) blocks_ = vrc::uri_io_use_blocks(d_->pb);
        for (;;) {
            const int rc = vrc_oldrecord_demuxer_read_view(d_, packet, payload, lent_);
            if (rc == VRC_ERR_FRAME_REFUSED) continue;
            if (rc < 0) {
                vrc::out_printf("read demuxer failed!, ret = %d\n", rc);
                return SourceStep::end;
            }
            if (written_since_start(*packet)) {
                grew_ = true;
                covered_ = identity_.size;  // the frame it cuts at that size was being written, not damaged
                return SourceStep::end;
            }
            if (!note_frame_read(*packet)) {
                fail_result(result_, VRC_CONVERT_ERR_CANCELLED, "cancelled");
                return SourceStep::failed;
            }
            // A picture cut by the end of the file cannot be decoded whole.
            if (d_->payload_cut != 0 && packet->media_type == VRC_MEDIA_VIDEO) {
                dropped(*packet);
                continue;
            }
            if (!anchored_) take_anchor(frame_of(*packet));
            return SourceStep::frame;
        }
    }

    // A bisection over the file's bytes comes near the time; the frame
    // headers from there find the key frame. Should none lie between, the
    // headers are read from the start.
    bool seek(int64_t time_ms, uint8_t *payload) override
    {
        constexpr uint64_t kNoKeyFrame = UINT64_MAX;
        const uint64_t near = bisect(time_ms, payload);
        uint64_t start = kNoKeyFrame;
        bool after = scan_to(time_ms, near, payload, &start);
        if (start == kNoKeyFrame && near != 0) after = scan_to(time_ms, 0, payload, &start);
        if (start == kNoKeyFrame) start = 0;
        vrc_oldrecord_demuxer_move(d_, start);
        covered_ = start;
        return after;
    }

    int finish(bool whole) override
    {
        if (d_->pb->error != 0) return fail_result(result_, VRC_CONVERT_ERR_INPUT, "cannot read %s", path_);
        if (!whole) return 0;
        // A recording cut while it was read lost frames it held at the start.
        vrc::FileIdentity now;
        if (vrc::file_identity(path_, &now) && now.size != identity_.size) {
            if (now.size < identity_.size)
                return fail_result(result_, VRC_CONVERT_ERR_INPUT,
                                   "%s shrank from %llu to %llu bytes while it was converted", path_,
                                   static_cast<unsigned long long>(identity_.size),
                                   static_cast<unsigned long long>(now.size));
            grew_ = true;
        }
        if (identity_.size > covered_) result_->bytes_skipped += identity_.size - covered_;
        covered_ = identity_.size;
        if (!progress_->report(base, identity_.size, true))
            return fail_result(result_, VRC_CONVERT_ERR_CANCELLED, "cancelled");
        return 0;
    }

    void lend(UriIoBatch *lent) override { lent_ = lent; }

    int64_t time_of(const vrc_media_packet_t &packet) const override { return time_of_stamp(packet.timestamp); }
    int64_t first_ms() const override { return first_ms_; }

    int64_t last_ms(uint8_t *payload) override
    {
        const uint64_t at = vrc_oldrecord_demuxer_position(d_);
        seek(INT64_MAX, payload);
        vrc_oldrecord_demuxer_move(d_, at);
        return last_seen_;
    }

    void dropped(const vrc_media_packet_t &packet) override
    {
        result_->frames_dropped += 1;
        result_->bytes_skipped += VRC_OLDREC_HEADER_SIZE + uint64_t{packet.size};
    }

    void note(char *message, size_t size) const override
    {
        if (grew_)
            std::snprintf(message, size, "the recording grew while it was converted: its first %llu bytes converted",
                          static_cast<unsigned long long>(identity_.size));
    }

private:
    // Seconds from the header's wall-clock field, milliseconds from the last
    // three digits of the first stamp; later frames by their stamps' steps.
    void take_anchor(const HeaderFrame &frame)
    {
        first_stamp_ = frame.timestamp;
        first_ms_ = int64_t{frame.utctime} * 1000 + frame.timestamp % 1000;
        anchored_ = true;
    }

    int64_t time_of_stamp(uint32_t stamp) const
    {
        return first_ms_ + static_cast<int32_t>(stamp - first_stamp_);
    }

    // The frame the reader delivered last, at its 64-bit position.
    HeaderFrame frame_of(const vrc_media_packet_t &packet) const
    {
        return HeaderFrame{vrc_oldrecord_demuxer_payload_position(d_), packet.size, packet.media_type == VRC_MEDIA_VIDEO, packet.key_frame != 0,
                     packet.timestamp, packet.utctime};
    }

    // The frame whose header lies at offset, when the header is plausible:
    // a known type and a payload that fits in the file.
    bool header_at(uint64_t offset, HeaderFrame *frame)
    {
        uint8_t header[kHeaderSize];
        OldrecHeader h;
        if (vrc_uri_io_file_seek(d_->pb, static_cast<int64_t>(offset), SEEK_SET) != static_cast<int64_t>(offset) ||
            vrc_uri_io_file_read(d_->pb, header, kHeaderSize) != int{kHeaderSize} ||
            !oldrec_plausible_header(header, offset, identity_.size, &h))
            return false;
        *frame = HeaderFrame{h.offset, h.size, h.type != VRC_OLDREC_TYPE_AUDIO, h.type == VRC_OLDREC_TYPE_VIDEO_I,
                       h.timestamp, h.utctime};
        return true;
    }

    // The frame at read_offset when the reader would take it as its header
    // says: a plausible header whose payload ends at the end of the file or
    // at the magic of the next header. Only the headers are read.
    bool clean_frame_at(HeaderFrame *frame)
    {
        if (!header_at(vrc_oldrecord_demuxer_position(d_), frame)) return false;
        const uint64_t end = frame->offset + frame->size;
        if (end == identity_.size) return true;
        uint8_t next[kMagicSize];
        return vrc_uri_io_file_seek(d_->pb, static_cast<int64_t>(end), SEEK_SET) == static_cast<int64_t>(end) &&
               vrc_uri_io_file_read(d_->pb, next, kMagicSize) == int{kMagicSize} && oldrec_is_magic(oldrec_le32(next));
    }

    // A header at offset that two more frames follow (or the end of the
    // file): a true header rather than payload bytes that look like one.
    bool chained_header_at(uint64_t offset, HeaderFrame *frame)
    {
        if (!header_at(offset, frame)) return false;
        HeaderFrame next = *frame;
        for (int n = 0; n < 2; ++n) {
            const uint64_t at = next.offset + next.size;
            if (at >= identity_.size) return true;  // the end of the file closes the chain
            if (!header_at(at, &next)) return false;
        }
        return true;
    }

    // The first true header within a window after offset.
    bool resync(uint64_t offset, HeaderFrame *frame, uint8_t *window)
    {
        constexpr uint32_t kWindow = 1u << 20;
        if (vrc_uri_io_file_seek(d_->pb, static_cast<int64_t>(offset), SEEK_SET) != static_cast<int64_t>(offset))
            return false;
        const int got = vrc_uri_io_file_read(d_->pb, window, int{kWindow});
        for (int p = 0; p + int{kMagicSize} <= got; ++p)
            if (oldrec_is_magic(oldrec_le32(window + p)) && chained_header_at(offset + uint64_t(p), frame)) return true;
        return false;
    }

    // An offset of a header some way before time: halves the span of bytes
    // until the frames within it are few enough to read their headers.
    uint64_t bisect(int64_t time_ms, uint8_t *window)
    {
        constexpr uint64_t kHeaderScanBytes = 8u << 20;
        constexpr int64_t kKeyLeadMs = 30000;  // key frames lie closer together than this
        uint64_t low = 0, high = identity_.size;
        while (high - low > kHeaderScanBytes) {
            const uint64_t middle = low + (high - low) / 2;
            HeaderFrame frame;
            if (resync(middle, &frame, window) && time_of_stamp(frame.timestamp) < time_ms - kKeyLeadMs)
                low = frame.offset - kHeaderSize;
            else
                high = middle;
        }
        return low;
    }

    // Reads the frame headers from offset on to the first video frame past
    // time; *start: the last key frame's header at or before it. Whether a
    // frame lies at or after time.
    bool scan_to(int64_t time_ms, uint64_t offset, uint8_t *payload, uint64_t *start)
    {
        vrc_oldrecord_demuxer_move(d_, offset);
        bool after = false;
        HeaderFrame frame;
        // Video frames come in time order; audio ones interleave loosely.
        while (next_header(&frame, payload)) {
            const int64_t t = time_of_stamp(frame.timestamp);
            after = after || t >= time_ms;
            if (frame.video && t > time_ms) break;
            if (frame.key) *start = frame.offset - kHeaderSize;
            last_seen_ = std::max(last_seen_, t);
        }
        return after;
    }

    // The next frame from its header, read_offset moved past it; where the
    // header alone cannot tell (damage), the reader decides as it does for
    // the conversion. False at the end.
    bool next_header(HeaderFrame *frame, uint8_t *payload)
    {
        if (clean_frame_at(frame)) {
            vrc_oldrecord_demuxer_move(d_, frame->offset + frame->size);
            return true;
        }
        vrc_media_packet_t packet;
        for (;;) {
            const int rc = vrc_oldrecord_demuxer_read_packet(d_, &packet, payload);
            if (rc == VRC_ERR_FRAME_REFUSED) continue;
            if (rc != 0) return false;
            if (d_->payload_cut != 0 && packet.media_type == VRC_MEDIA_VIDEO) continue;
            *frame = frame_of(packet);
            return true;
        }
    }

    // A frame ending past the input's size at the start was written after
    // the conversion began (a recorder still writing): it and what follows
    // are left for a later conversion.
    bool written_since_start(const vrc_media_packet_t &packet) const
    {
        return vrc_oldrecord_demuxer_payload_position(d_) + packet.size > identity_.size;
    }

    // Bytes between the end of the previous frame and this one's header were
    // skipped; false when the host cancels.
    bool note_frame_read(const vrc_media_packet_t &packet)
    {
        const uint64_t payload = vrc_oldrecord_demuxer_payload_position(d_);
        const uint64_t header = payload - VRC_OLDREC_HEADER_SIZE;
        if (header > covered_) result_->bytes_skipped += header - covered_;
        const uint64_t end = payload + packet.size;
        covered_ = end < identity_.size ? end : identity_.size;
        return progress_->report(base, covered_);
    }

    vrc_oldrecord_demuxer_t *d_;
    const char *path_;
    Progress *progress_;
    vrc_convert_result_t *result_;
    UriIoBatch *lent_ = nullptr;
    bool blocks_ = false;        // tried to read in large blocks
    bool grew_ = false;          // the input grew while it was read: only its size at the start is converted
    bool anchored_ = false;
    uint32_t first_stamp_ = 0;
    int64_t first_ms_ = 0;
    int64_t last_seen_ = INT64_MIN;
    uint64_t covered_ = 0;       // input bytes up to the end of the last frame delivered
};

}  // namespace

std::unique_ptr<FrameSource> open_legacy_source(const char *path, uint8_t *payload, Progress *progress,
                                                vrc_convert_result_t *result, int *rc)
{
    vrc_oldrecord_demuxer_t *d = vrc_oldrecord_demuxer_new(path);
    if (!d) {
        vrc::FileIdentity unused;
        vrc::file_identity(path, &unused);  // its errno tells why it is missing
        *rc = fail_result(result, VRC_CONVERT_ERR_INPUT, "cannot open %s: %s", path, vrc::file_error_text());
        vrc::out_printf("vrc_oldrecord_demuxer_new err");
        return nullptr;
    }
    auto source = std::make_unique<LegacySource>(d, path, progress, result);
    *rc = source->open(payload);
    if (*rc != 0) return nullptr;
    return source;
}

}  // namespace vrc
