#include "legacy_scan.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "vrc_mp4_h264.h"
#include "vrc_oldrecord_demuxer.h"
#include "vrc_oldrecord_header.h"
#include "vrc_platform.h"

namespace vrc_tool {
namespace {

constexpr uint32_t kHeaderSize = VRC_OLDREC_HEADER_SIZE;
constexpr uint32_t kMagicSize = 4;
// As the conversion takes them: the largest frame an MP4 frame record holds.
constexpr uint32_t kPayloadCapacity = VRC_OLDREC_MAX_FRAME_SIZE;
constexpr int64_t kPauseMs = 1000;

using Frame = vrc::OldrecHeader;

// The bytes of frame headers, read through a window of the file: headers
// close behind one another (sound, small pictures) come out of one read of
// many frames; one far ahead gets a small read of its own, so that the
// large payloads between are stepped over, not read.
class HeaderWindow {
public:
    explicit HeaderWindow(const std::string &path) : file_(vrc::file_open(path.c_str(), "rb"))
    {
        if (file_) std::setvbuf(file_, nullptr, _IONBF, 0);  // the window is the buffer
    }
    ~HeaderWindow()
    {
        if (file_) std::fclose(file_);
    }
    HeaderWindow(const HeaderWindow &) = delete;
    HeaderWindow &operator=(const HeaderWindow &) = delete;

    // size bytes at offset (at most kHeaderSize); null when they cannot be read.
    const uint8_t *at(uint64_t offset, uint32_t size)
    {
        if (offset >= start_ && offset + size <= start_ + held_) return bytes_ + (offset - start_);
        const bool near = offset >= start_ + held_ && offset - (start_ + held_) < kNear;
        if (!file_ || vrc::file_seek64(file_, static_cast<int64_t>(offset), SEEK_SET) != 0) return nullptr;
        start_ = offset;
        held_ = static_cast<uint32_t>(std::fread(bytes_, 1, near ? sizeof bytes_ : kFarRead, file_));
        return held_ >= size ? bytes_ : nullptr;
    }

private:
    static constexpr uint32_t kNear = 16384;   // a gap read through rather than sought over
    static constexpr uint32_t kFarRead = 512;  // a header and the start of its payload
    std::FILE *file_;
    uint64_t start_ = 0;
    uint32_t held_ = 0;
    uint8_t bytes_[1 << 16];
};

// The frame at offset when the reader would take it as its header says: a
// plausible header whose payload ends at the end of the file or at the
// magic of the next header. Only the headers are read; false leaves the
// frame to the reader.
bool clean_frame_at(HeaderWindow &window, uint64_t offset, uint64_t file_size, Frame *frame)
{
    const uint8_t *header = window.at(offset, kHeaderSize);
    if (!header || !vrc::oldrec_plausible_header(header, offset, file_size, frame)) return false;
    const uint64_t end = frame->offset + frame->size;
    if (end == file_size) return true;
    const uint8_t *next = window.at(end, kMagicSize);
    return next && vrc::oldrec_is_magic(vrc::oldrec_le32(next));
}

const char *profile_name(const uint8_t *sps, uint32_t size)
{
    if (size < 3) return nullptr;
    switch (sps[1]) {
    case 66: return (sps[2] & 0x40) ? "Constrained Baseline" : "Baseline";
    case 77: return "Main";
    case 88: return "Extended";
    case 100: return "High";
    case 110: return "High 10";
    case 122: return "High 4:2:2";
    case 244: return "High 4:4:4 Predictive";
    default: return nullptr;
    }
}

void take_sps(const uint8_t *payload, uint32_t size, LegacyScan *scan)
{
    const vrc::H264FrameLayout layout = vrc::h264_frame_layout(payload, size);
    if (layout.sps.size == 0 ||
        !vrc::h264_sps_picture_size(layout.sps.data, layout.sps.size, &scan->width, &scan->height))
        return;
    const char *name = profile_name(layout.sps.data, layout.sps.size);
    scan->profile = name ? name : "profile " + std::to_string(layout.sps.data[1]);
}

void count_step(LegacyTrackScan *track, uint32_t stamp)
{
    if (track->frames++ != 0) {
        const int64_t step = static_cast<int32_t>(stamp - track->last_stamp);
        track->steps_back += step < 0;
        track->pauses += step > kPauseMs;
    }
    track->last_stamp = stamp;
}

// Seconds from the header's wall-clock field, milliseconds from the last
// three digits of the stamp. The field is 32 bits wide and wraps in 2106 as
// the stamps wrap every 49 days: a frame's seconds are those of the first
// frame plus the signed step to its own, so that a recording running past
// the wrap goes on counting.
int64_t calendar_ms(const Frame &frame, uint32_t first_utc)
{
    const int64_t seconds = int64_t{first_utc} + static_cast<int32_t>(frame.utctime - first_utc);
    return seconds * 1000 + frame.timestamp % 1000;
}

class Scanner {
public:
    Scanner(vrc_oldrecord_demuxer_t *d, const std::string &path, uint64_t file_size, LegacyScan *scan)
        : d_(d), window_(path), file_size_(file_size), scan_(scan)
    {
    }

    // False when memory for a payload cannot be had.
    bool run()
    {
        for (;;) {
            Frame frame;
            // The first key frames are read whole until one yields an SPS.
            if (clean_frame_at(window_, vrc_oldrecord_demuxer_position(d_), file_size_, &frame) && !(wants_sps() && frame.type == VRC_OLDREC_TYPE_VIDEO_I)) {
                vrc_oldrecord_demuxer_move(d_, frame.offset + frame.size);
            } else {
                const int rc = read_frame(&frame);
                if (rc == VRC_ERR_FRAME_REFUSED) continue;
                if (rc != 0) break;
                // A picture cut by the end of the file is dropped, as the conversion drops it.
                if (d_->payload_cut != 0 && frame.type != VRC_OLDREC_TYPE_AUDIO) continue;
            }
            add(frame);
        }
        if (file_size_ > covered_) scan_->bytes_skipped += file_size_ - covered_;
        return !out_of_memory_;
    }

private:
    bool wants_sps() const { return scan_->profile.empty(); }

    // The frame at read_offset through the library's reader, with its payload.
    int read_frame(Frame *frame)
    {
        if (!payload_) {
            payload_.reset(new (std::nothrow) uint8_t[kPayloadCapacity]);
            out_of_memory_ = !payload_;
            if (out_of_memory_) return -1;
            d_->buffer_size = kPayloadCapacity;
        }
        vrc_media_packet_t packet;
        const int rc = vrc_oldrecord_demuxer_read_packet(d_, &packet, payload_.get());
        if (rc != 0) return rc;
        *frame = Frame{vrc_oldrecord_demuxer_payload_position(d_), packet.size,
                       packet.media_type == VRC_MEDIA_AUDIO ? uint32_t{VRC_OLDREC_TYPE_AUDIO}
                       : packet.key_frame                   ? uint32_t{VRC_OLDREC_TYPE_VIDEO_I}
                                                            : uint32_t{VRC_OLDREC_TYPE_VIDEO_P},
                       packet.timestamp, packet.utctime};
        if (wants_sps() && packet.key_frame) take_sps(payload_.get(), packet.size, scan_);
        return 0;
    }

    void add(const Frame &frame)
    {
        const uint64_t header = frame.offset - kHeaderSize;
        if (header > covered_) scan_->bytes_skipped += header - covered_;
        covered_ = frame.offset + frame.size;
        if (scan_->frames++ == 0) {
            first_utc_ = frame.utctime;
            scan_->first_ms = calendar_ms(frame, first_utc_);
        }
        scan_->last_ms = calendar_ms(frame, first_utc_);
        if (frame.type == VRC_OLDREC_TYPE_AUDIO) return count_step(&scan_->audio, frame.timestamp);
        count_step(&scan_->video, frame.timestamp);
        if (frame.type != VRC_OLDREC_TYPE_VIDEO_I) return;
        if (scan_->key_frames++ != 0) {
            const int64_t gap = static_cast<int32_t>(frame.timestamp - last_key_);
            if (gap > int64_t{scan_->longest_key_gap_ms}) scan_->longest_key_gap_ms = static_cast<uint32_t>(gap);
        }
        last_key_ = frame.timestamp;
    }

    vrc_oldrecord_demuxer_t *d_;
    HeaderWindow window_;
    uint64_t file_size_;
    LegacyScan *scan_;
    std::unique_ptr<uint8_t[]> payload_;
    bool out_of_memory_ = false;
    uint64_t covered_ = 0;
    uint32_t last_key_ = 0;
    uint32_t first_utc_ = 0;  // the wall-clock field of the first frame
};

}  // namespace

bool scan_legacy_recording(const std::string &path, LegacyScan *scan, std::string *reason)
{
    *scan = LegacyScan();
    vrc::FileIdentity identity;
    vrc_oldrecord_demuxer_t *d = vrc_oldrecord_demuxer_new(path.c_str());
    if (!d || !vrc::file_identity(path.c_str(), &identity)) {
        *reason = std::string("cannot open: ") + vrc::file_error_text();
        vrc_oldrecord_demuxer_free(d);
        return false;
    }
    const bool scanned = std::make_unique<Scanner>(d, path, identity.size, scan)->run();
    const bool read = d->pb->error == 0;
    vrc_oldrecord_demuxer_free(d);
    if (!scanned) *reason = "out of memory";
    if (!read) *reason = "cannot read the file";
    return scanned && read;
}

}  // namespace vrc_tool
