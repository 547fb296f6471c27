// An ordinary MP4 file that lost its moov (a camera's power cut, a killed
// writer) as a frame source, read with a whole file of the same camera: the
// reference's sample descriptions and tables say how the broken file's
// samples look. The walk goes through the broken file's mdat and tells
// H.264 samples (runs of length-prefixed NAL units with plausible headers)
// from the sound between them: mu-law in chunks of the reference's size, AAC
// frame by frame, each frame's end found by decoding it. Every byte of the broken file is hostile: the
// walk advances at least a byte per step and reads in large blocks.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vrc_aac_frame_bounds.h"
#include "vrc_frame_source.h"
#include "vrc_mp4_demuxer.h"
#include "vrc_mp4_demuxer_samples.h"
#include "vrc_mp4_format.h"
#include "vrc_mp4_h264.h"
#include "vrc_uri_io_block.h"

namespace vrc {
namespace {

// The broken file's bytes held at once: a sample and its checks reach at
// most kPayloadCapacity past the sample's start, so a block refilled at that
// start holds them, and refills come at most once per kPayloadCapacity walked.
constexpr uint32_t kBlock = 2 * kPayloadCapacity + 2;
// Reference samples whose NAL units are looked at: enough to meet every
// type a camera writes (parameter sets, SEI, the slices of a GOP).
constexpr uint32_t kStudiedSamples = 600;
// NAL units one sample may hold: bounds the walk on garbage that chains.
constexpr uint32_t kMaxSampleUnits = 512;
// A run of bytes between pictures longer than this many of the reference's
// sound chunks is not sound (zeros a writer reserved, foreign data).
constexpr uint32_t kChunksPerRun = 2;

// Samples of an AAC-LC frame.
constexpr uint32_t kAacFrameSamples = 1024;

// A file read in blocks of kBlock bytes through one buffer.
class BlockFile {
public:
    ~BlockFile()
    {
        if (file_) std::fclose(file_);
        std::free(buffer_);
    }
    bool open(const char *path, uint64_t size)
    {
        size_ = size;
        file_ = file_open(path, "rb");
        buffer_ = static_cast<uint8_t *>(std::malloc(kBlock));
        return file_ && buffer_;
    }
    // The bytes from pos on, at most need (which is at most kBlock - 1);
    // *have says how many the file holds. Null when it cannot be read.
    const uint8_t *at(uint64_t pos, uint32_t need, uint32_t *have)
    {
        *have = 0;
        if (pos >= size_) return buffer_;
        const uint64_t want = std::min<uint64_t>(need, size_ - pos);
        if (pos < start_ || pos + want > start_ + length_) {
            length_ = 0;
            start_ = pos;
            if (file_seek64(file_, static_cast<int64_t>(pos), SEEK_SET) != 0) return failed();
            length_ = static_cast<uint32_t>(std::fread(buffer_, 1, kBlock, file_));
            if (length_ < want) return failed();
        }
        *have = static_cast<uint32_t>(want);
        return buffer_ + (pos - start_);
    }
    uint64_t size() const { return size_; }
    bool error() const { return error_; }

private:
    const uint8_t *failed()
    {
        error_ = true;
        return nullptr;
    }
    std::FILE *file_ = nullptr;
    uint8_t *buffer_ = nullptr;
    uint64_t size_ = 0;
    uint64_t start_ = 0;  // file position of buffer_[0]
    uint32_t length_ = 0;
    bool error_ = false;
};

uint32_t read_be(const uint8_t *p, uint32_t size)
{
    uint32_t v = 0;
    for (uint32_t i = 0; i < size; ++i) v = v << 8 | p[i];
    return v;
}

// What the reference says of the camera's streams.
struct Reference {
    vrc_track_info_t tracks[2]{};        // as the muxer is to declare them
    uint32_t length_size = 4;           // bytes of each NAL unit's length (avcC)
    uint32_t nal_types = 0;             // bit n: the stream uses NAL units of type n
    bool multi_slice = false;           // pictures of several slices occur
    uint32_t slice_types = 0;           // bit n: slices of slice_type n occur
    uint32_t max_pps_id = 0;            // the highest picture parameter set its slices name
    uint32_t macroblocks = 0;           // of a picture; 0: not known
    uint32_t max_sample = 0;            // the largest video sample
    uint32_t frame_duration = 0;        // video track units per picture (stts)
    bool reordered = false;             // B-frames: the reference has ctts
    // B-frames placed by their slices' pic_order_cnt_lsb (type 0 streams):
    // two counts a frame, as encoders number frame pictures.
    bool ordered = false;
    H264PictureOrder order{};
    int64_t delay = 0;                  // media time of the first picture shown: the reference's edit
    int64_t sound_delay = 0;            // AAC: media time of the first sample played (the encoder's priming)
    uint32_t sound_codec = 0;           // VRC_CODEC_* of its sound; 0: none
    uint32_t chunk_bytes = 0;           // mu-law bytes of its typical chunk
    uint32_t sound_config_size = 0;     // AAC: its AudioSpecificConfig
    uint8_t sound_config[MOV_MAX_CONFIG_SIZE]{};
    uint32_t param_sets_size = 0;
    uint8_t param_sets[MOV_MAX_PARAM_SETS_SIZE]{};  // Annex B, in front of key frames
};

// The stts entry that covers the most samples among those kept.
uint32_t typical_delta(const mov_box_stts_t &stts)
{
    uint32_t best = 0, count = 0;
    const uint32_t kept = std::min<uint32_t>(stts.entry_count, sizeof stts.entries / sizeof stts.entries[0]);
    for (uint32_t i = 0; i < kept; ++i)
        if (stts.entries[i].sample_count > count) {
            count = stts.entries[i].sample_count;
            best = stts.entries[i].sample_delta;
        }
    return best;
}

// The longest run of audio samples that lie back to back in the file: the
// sound a chunk holds (a writer's chunks are of one size but the last).
uint32_t longest_chunk(const vrc_mp4_demuxer_t &ctx)
{
    uint64_t best = 0, run = 0;
    for (uint32_t i = 0; i < ctx.nr_audio_frames && i < MOV_MAX_FRAMES; ++i) {
        const mov_frame_entry_t &f = ctx.audio_frames[i];
        const mov_frame_entry_t *before = i > 0 ? &ctx.audio_frames[i - 1] : nullptr;
        const bool follows = before && uint64_t{before->file_pos} + before->info.size == f.file_pos;
        run = (follows ? run : 0) + f.info.size;
        best = std::max(best, run);
    }
    return static_cast<uint32_t>(std::min<uint64_t>(best, kPayloadCapacity));
}

bool holds_box(const vrc_mp4_demuxer_t &ctx, uint32_t type)
{
    for (uint32_t i = 0; i < ctx.box_info.nr_boxes && i < MOV_MAX_BOXES; ++i)
        if (ctx.box_info.boxes[i][1] == type) return true;
    return false;
}

class SalvageSource final : public FrameSource {
public:
    SalvageSource(const char *path, Progress *progress, vrc_convert_result_t *result)
        : path_(path), progress_(progress), result_(result)
    {
    }

    int open(const char *reference_path)
    {
        const int rc = learn(reference_path);
        if (rc != 0) return rc;
        if (!file_identity(path_, &identity_) || !file_.open(path_, identity_.size))
            return fail_result(result_, VRC_CONVERT_ERR_INPUT, "cannot open %s: %s", path_, file_error_text());
        if (!find_mdat()) return fail_result(result_, VRC_CONVERT_ERR_NO_FRAMES, "%s holds no mdat box", path_);
        if (ref_.sound_codec == VRC_CODEC_AAC)
            aac_ = aac_frame_bounds_open(ref_.sound_config, ref_.sound_config_size, &aac_refusal_);
        return 0;
    }

    void describe(vrc_track_info_t tracks[2]) const override { std::memcpy(tracks, ref_.tracks, sizeof ref_.tracks); }
    uint32_t audio_config(uint8_t *out, uint32_t capacity) const override
    {
        if (!aac_ || ref_.sound_config_size > capacity) return 0;
        std::memcpy(out, ref_.sound_config, ref_.sound_config_size);
        return ref_.sound_config_size;
    }
    // Pictures placed by their order counts play from the reference's delay
    // on, AAC sound after the encoder's priming.
    int64_t skip(uint32_t slot) const override
    {
        if (slot == 0) return ref_.ordered ? ref_.delay : 0;
        return aac_ ? ref_.sound_delay : 0;
    }

    // Each frame is copied into payload, which the muxer's writes may still
    // borrow: they go out first.
    SourceStep read(Frame *frame, uint8_t *payload) override
    {
        if (lent_) lent_->flush();
        for (;;) {
            if (!progress_->report(base, pos_)) {
                fail_result(result_, VRC_CONVERT_ERR_CANCELLED, "cancelled");
                return SourceStep::failed;
            }
            if (pos_ >= end_ || file_.error()) return SourceStep::end;
            Sample sample{};
            if (sample_at(pos_, &sample)) {
                deliver_picture(sample, frame, payload);
                return SourceStep::frame;
            }
            if (aac_ && take_aac_frame(frame, payload)) return SourceStep::frame;
            const uint64_t next = next_picture(pos_);
            if (take_sound(next, frame, payload)) return SourceStep::frame;
        }
    }

    // No index tells where a time lies: reading starts over, and the feed
    // passes over what comes before the range.
    bool seek(int64_t, uint8_t *) override
    {
        restart();
        return true;
    }

    int finish(bool) override
    {
        if (file_.error()) return fail_result(result_, VRC_CONVERT_ERR_INPUT, "cannot read %s", path_);
        if (!progress_->report(base, identity_.size, true))
            return fail_result(result_, VRC_CONVERT_ERR_CANCELLED, "cancelled");
        return 0;
    }

    void lend(UriIoBatch *lent) override { lent_ = lent; }
    // What a track skips at its start lies before the time the other track
    // starts at, as the reference's edit lists place them.
    int64_t time_of(const vrc_media_packet_t &packet) const override
    {
        const uint32_t slot = packet.media_type == VRC_MEDIA_VIDEO ? 0 : 1;
        const uint32_t timescale = std::max<uint32_t>(ref_.tracks[slot].timescale, 1);
        return int64_t{packet.timestamp} - skip(slot) * 1000 / timescale;
    }
    int64_t first_ms() const override { return 0; }
    // The end is known only as far as the walk reached.
    int64_t last_ms(uint8_t *) override { return last_ms_; }

    void dropped(const vrc_media_packet_t &packet) override
    {
        result_->frames_dropped += 1;
        result_->bytes_skipped += packet.size;
    }

    // hosts match this line: keep the wording
    void note(char *message, size_t size) const override
    {
        char sound[480] = "mu-law sound";
        if (ref_.sound_codec == VRC_CODEC_AAC && aac_)
            std::snprintf(sound, sizeof sound, "AAC sound, %u frames", sound_frames_);
        else if (ref_.sound_codec == VRC_CODEC_AAC)
            std::snprintf(sound, sizeof sound, "AAC sound not recovered (%s)", aac_refusal_);
        std::snprintf(message, size,
                      "no moov: %u video frames (%u key) recovered with the reference, %u cut off (%llu bytes); %s: "
                      "%llu bytes; %llu bytes unexplained%s",
                      pictures_, key_pictures_, cut_pictures_, static_cast<unsigned long long>(cut_bytes_), sound,
                      static_cast<unsigned long long>(sound_bytes_), static_cast<unsigned long long>(unexplained_),
                      order_note());
    }

private:
    const char *order_note() const
    {
        if (!ref_.reordered) return "";
        return ref_.ordered ? "; B-frames: placed by their picture order counts"
                            : "; B-frames: presentation order approximate (decode order)";
    }

    struct Sample {
        uint64_t pos;
        uint64_t size;
        uint32_t units;
        bool key;
        uint32_t first_slice_at;  // header byte of its first slice, from pos
        uint32_t first_slice_size;
    };

    // The reference's tracks, codecs, times and the NAL units its pictures use.
    int learn(const char *path)
    {
        vrc_mp4_demuxer_t *ctx = vrc_mp4_demuxer_new(0, path);
        if (!ctx) return fail_result(result_, VRC_CONVERT_ERR_INPUT, "cannot open the reference %s", path);
        vrc_mp4_demuxer_read_header(ctx);
        const int rc = learn_tracks(*ctx, path);
        vrc_mp4_demuxer_free(ctx);
        if (rc != 0) return rc;
        return study_pictures(path);
    }

    int learn_tracks(const vrc_mp4_demuxer_t &ctx, const char *path)
    {
        const MovSampleDescription *picture = nullptr, *sound = nullptr;
        uint32_t video_slot = 0, sound_slot = 0;
        for (uint32_t t = 0; t < MOV_MAX_TRACKS && t < ctx.box_info.nr_tracks; ++t) {
            const MovSampleDescription *d = mov_demuxer_description(&ctx, t, 0);
            if (!d) continue;
            const bool audible = d->codec_id == VRC_CODEC_G711U || d->codec_id == VRC_CODEC_AAC;
            if (!picture && d->codec_id == VRC_CODEC_H264) {
                picture = d;
                video_slot = t;
            } else if (!sound && audible) {
                sound = d;
                sound_slot = t;
            }
        }
        if (!picture || picture->config_size < 5 || ctx.nr_video_frames == 0 || picture->param_sets_size == 0)
            return fail_result(result_, VRC_CONVERT_ERR_UNSUPPORTED,
                               "the reference %s holds no H.264 track with its avcC and samples", path);
        ref_.length_size = (picture->config[4] & 3u) + 1;
        ref_.param_sets_size = picture->param_sets_size;
        std::memcpy(ref_.param_sets, picture->param_sets, picture->param_sets_size);
        ref_.frame_duration = typical_delta(ctx.tracks[video_slot].stts);
        ref_.reordered = holds_box(ctx, mov_fourcc("ctts"));
        learn_order(ctx, video_slot, *picture);
        vrc_track_info_t &video = ref_.tracks[0];
        video.media_type = VRC_MEDIA_VIDEO;
        video.codec_id = VRC_CODEC_H264;
        video.timescale = mov_demuxer_timescale(&ctx, video_slot);
        video.width = picture->width;
        video.height = picture->height;
        ref_.macroblocks = ((video.width + 15) / 16) * ((video.height + 15) / 16);
        if (ref_.frame_duration == 0 || video.timescale == 0)
            return fail_result(result_, VRC_CONVERT_ERR_UNSUPPORTED, "the reference %s gives no frame rate", path);
        vrc_track_info_t &audio = ref_.tracks[1];
        audio.media_type = VRC_MEDIA_AUDIO;
        audio.codec_id = VRC_CODEC_G711U;
        audio.timescale = sound ? mov_demuxer_timescale(&ctx, sound_slot) : 8000;
        audio.channels = sound && sound->channels ? sound->channels : 1;
        audio.sample_rate = sound && sound->sample_rate ? sound->sample_rate : 8000;
        audio.bitwidth = 16;
        ref_.sound_codec = sound ? sound->codec_id : 0;
        if (ref_.sound_codec == VRC_CODEC_AAC) {
            audio.codec_id = VRC_CODEC_AAC;
            ref_.sound_config_size = sound->config_size;
            ref_.sound_delay = media_start(ctx, sound_slot);
            std::memcpy(ref_.sound_config, sound->config, sound->config_size);
        }
        ref_.chunk_bytes = ref_.sound_codec == VRC_CODEC_G711U ? longest_chunk(ctx) : 0;
        const bool chunked = ref_.chunk_bytes != 0 && audio.timescale != 0;
        if (ref_.sound_codec == VRC_CODEC_G711U && !chunked) ref_.sound_codec = 0;
        for (uint32_t i = 0; i < ctx.nr_video_frames && i < kStudiedSamples; ++i)
            studied_[studied_count_++] = ctx.video_frames[i];
        for (uint32_t i = 0; i < ctx.nr_video_frames && i < MOV_MAX_FRAMES; ++i)
            ref_.max_sample = std::max<uint32_t>(ref_.max_sample, ctx.video_frames[i].info.size);
        return 0;
    }

    // The NAL unit types of the reference's first pictures, and whether a
    // picture of it holds several slices.
    int study_pictures(const char *path)
    {
        FileIdentity id{};
        BlockFile reference;
        if (!file_identity(path, &id) || !reference.open(path, id.size))
            return fail_result(result_, VRC_CONVERT_ERR_INPUT, "cannot open the reference %s", path);
        for (uint32_t i = 0; i < studied_count_; ++i) {
            uint32_t have = 0;
            const uint32_t size = std::min<uint32_t>(studied_[i].info.size, kPayloadCapacity);
            const uint8_t *p = reference.at(studied_[i].file_pos, size, &have);
            for (uint32_t q = 0, slices = 0; p && q + ref_.length_size < have;) {
                const uint32_t length = read_be(p + q, ref_.length_size);
                if (length == 0 || length > have - q - ref_.length_size) break;
                const uint8_t *nal = p + q + ref_.length_size;
                const uint32_t type = nal[0] & 0x1Fu;
                ref_.nal_types |= 1u << type;
                if (is_slice(type)) learn_slice(nal, length, ++slices);
                q += ref_.length_size + length;
            }
        }
        ref_.nal_types |= 1u << H264_NAL_SPS | 1u << H264_NAL_PPS;  // a camera may repeat its sets in the stream
        // Room in the payload for the sets and for start codes longer than
        // the lengths they replace.
        const uint32_t room = kPayloadCapacity - ref_.param_sets_size - H264_START_CODE_SIZE * kMaxSampleUnits;
        ref_.max_sample = std::min<uint32_t>(std::max(4 * ref_.max_sample, 1u << 20), room);
        return 0;
    }

    void learn_order(const vrc_mp4_demuxer_t &ctx, uint32_t slot, const MovSampleDescription &picture)
    {
        NalUnitReader reader(picture.param_sets, picture.param_sets_size);
        for (NalUnit nal{}; reader.next(&nal);)
            if (h264_nal_type(nal) == H264_NAL_SPS && h264_sps_picture_order(nal.data, nal.size, &ref_.order)) {
                ref_.ordered = ref_.reordered && ref_.order.poc_type == 0;
                break;
            }
        ref_.delay = media_start(ctx, slot);
    }

    // The media time a track's edit list starts it at: 0 without one.
    static int64_t media_start(const vrc_mp4_demuxer_t &ctx, uint32_t slot)
    {
        MovPresentation presentation;
        const bool edits = mov_demuxer_presentation(&ctx, slot, &presentation);
        const MovEdit *media = edits ? presentation.first_media() : nullptr;
        return media ? std::max<int64_t>(media->media_time, 0) : 0;
    }

    void learn_slice(const uint8_t *nal, uint32_t size, uint32_t slices)
    {
        H264SliceStart start{};
        if (!h264_slice_start(nal, size, &start)) return;
        ref_.multi_slice = ref_.multi_slice || slices > 1;
        ref_.slice_types |= 1u << start.type;
        ref_.max_pps_id = std::max(ref_.max_pps_id, start.pps_id);
    }

    // The mdat box among the top-level boxes; its size 0 or past the end of
    // the file means up to the end.
    bool find_mdat()
    {
        for (uint64_t pos = 0; pos + 8 <= file_.size();) {
            uint32_t have = 0;
            const uint8_t *p = file_.at(pos, 16, &have);
            if (!p || have < 8) return false;
            uint64_t size = read_be(p, 4), header = 8;
            if (size == 1 && have == 16) {
                size = uint64_t{read_be(p + 8, 4)} << 32 | read_be(p + 12, 4);
                header = 16;
            }
            const uint32_t type = uint32_t{p[4]} | uint32_t{p[5]} << 8 | uint32_t{p[6]} << 16 | uint32_t{p[7]} << 24;
            if (type == mov_fourcc("mdat")) {
                begin_ = pos + header;
                end_ = size < header || size > file_.size() - pos ? file_.size() : pos + size;
                restart();
                return true;
            }
            if (size < 8) return false;
            pos += size;
        }
        return false;
    }

    void restart()
    {
        pos_ = begin_;
        pictures_ = key_pictures_ = 0;
        sound_bytes_ = unexplained_ = sound_units_ = cut_bytes_ = 0;
        cut_pictures_ = sound_frames_ = 0;
    }

    // Whether the NAL unit's header byte can stand in this stream.
    bool plausible(uint8_t header) const
    {
        const uint32_t type = header & 0x1Fu;
        if ((header & 0x80u) != 0 || (ref_.nal_types & (1u << type)) == 0) return false;
        const bool referenced = (header & 0x60u) != 0;
        return referenced || (type != H264_NAL_IDR && type != H264_NAL_SPS && type != H264_NAL_PPS);
    }

    // Whether a slice's header starts as the reference's slices do.
    bool plausible_slice(const uint8_t *nal, uint32_t size) const
    {
        H264SliceStart start{};
        if (!h264_slice_start(nal, size, &start)) return false;
        const bool inside = ref_.macroblocks == 0 || start.first_mb < ref_.macroblocks;
        return inside && (ref_.slice_types & (1u << start.type)) != 0 && start.pps_id <= ref_.max_pps_id;
    }

    // The NAL unit at pos: its header byte's position and size, when its
    // length fits in limit and its bytes look like one (a plausible header,
    // a last byte holding the stop bit).
    bool unit_at(uint64_t pos, uint64_t limit, const uint8_t **nal, uint32_t *size)
    {
        uint32_t have = 0;
        if (end_ - pos < ref_.length_size + 2) return false;
        const uint8_t *p = file_.at(pos, ref_.length_size + 1, &have);
        if (!p || have < ref_.length_size + 1) return false;
        const uint32_t length = read_be(p, ref_.length_size);
        if (length < 2 || length > limit || length > end_ - pos - ref_.length_size || !plausible(p[ref_.length_size]))
            return false;
        p = file_.at(pos, ref_.length_size + length, &have);
        if (!p || have < ref_.length_size + length || p[have - 1] == 0) return false;
        if (is_slice(p[ref_.length_size] & 0x1Fu) && !plausible_slice(p + ref_.length_size, length)) return false;
        *nal = p + ref_.length_size;
        *size = length;
        return true;
    }

    static bool is_slice(uint32_t type) { return type >= H264_NAL_SLICE_FIRST && type <= H264_NAL_SLICE_LAST; }

    // Whether a unit of type begins a new picture after a sample that has
    // (or has not yet) a slice.
    static bool starts_picture(const uint8_t *nal, uint32_t size, bool has_slice)
    {
        const uint32_t type = nal[0] & 0x1Fu;
        if (is_slice(type)) return has_slice && h264_first_mb_in_slice(nal, size) == 0;
        return has_slice && h264_opens_picture(type);
    }

    // A picture's sample at pos: plausible NAL units from a unit that can
    // begin one up to the next such unit or the first implausible bytes,
    // with at least one slice.
    bool sample_at(uint64_t pos, Sample *sample)
    {
        const uint8_t *nal = nullptr;
        uint32_t size = 0;
        if (!unit_at(pos, ref_.max_sample, &nal, &size)) return false;
        const uint32_t first = nal[0] & 0x1Fu;
        if (is_slice(first) && h264_first_mb_in_slice(nal, size) != 0) return false;
        *sample = Sample{pos, 0, 0, false, 0, 0};
        bool has_slice = false;
        for (uint64_t q = pos; sample->units < kMaxSampleUnits;) {
            const uint64_t room = ref_.max_sample - sample->size;
            if (q >= end_ || !unit_at(q, room, &nal, &size) || starts_picture(nal, size, has_slice)) break;
            const uint32_t type = nal[0] & 0x1Fu;
            if (is_slice(type) && has_slice && !ref_.multi_slice) break;
            if (is_slice(type) && !has_slice) {
                sample->first_slice_at = static_cast<uint32_t>(sample->size) + ref_.length_size;
                sample->first_slice_size = size;
            }
            has_slice = has_slice || is_slice(type);
            sample->key = sample->key || type == H264_NAL_IDR;
            sample->size += ref_.length_size + size;
            sample->units += 1;
            q += ref_.length_size + size;
        }
        return has_slice;
    }

    // Whether a picture that the end of mdat cuts off begins at pos: a
    // plausible first unit whose length runs past the end. The sound in
    // front of it ends there; the picture itself is counted as dropped.
    bool cut_picture_at(uint64_t pos)
    {
        uint32_t have = 0;
        constexpr uint32_t kSliceHeadBytes = 16;  // enough for the fields plausible_slice reads
        const uint8_t *p = file_.at(pos, ref_.length_size + kSliceHeadBytes, &have);
        if (!p || have < ref_.length_size + 2) return false;
        const uint32_t length = read_be(p, ref_.length_size);
        const bool past = length <= ref_.max_sample && length > end_ - pos - ref_.length_size;
        if (!past || !plausible(p[ref_.length_size])) return false;
        const uint32_t type = p[ref_.length_size] & 0x1Fu;
        return !is_slice(type) || plausible_slice(p + ref_.length_size, have - ref_.length_size);
    }

    // The next position after pos where a picture's sample begins, or the
    // end of mdat. A length below 2^24 starts with a zero byte: only those
    // are tried when lengths take four bytes.
    uint64_t next_picture(uint64_t pos)
    {
        constexpr uint32_t kScan = 1u << 16;
        Sample sample{};
        for (uint64_t q = pos + 1; q < end_;) {
            uint32_t have = 0;
            const uint8_t *p = file_.at(q, kScan, &have);
            if (!p || have == 0) return end_;
            const uint8_t *hit = ref_.length_size == 4 ? static_cast<const uint8_t *>(std::memchr(p, 0, have)) : p;
            if (!hit) {
                q += have;
                continue;
            }
            q += static_cast<uint64_t>(hit - p);
            if (sample_at(q, &sample) || cut_picture_at(q)) return q;
            q += 1;
        }
        return end_;
    }

    // The picture's NAL units in Annex B, behind the reference's parameter
    // sets when it is a key frame.
    void deliver_picture(const Sample &sample, Frame *frame, uint8_t *payload)
    {
        uint32_t n = 0;
        if (sample.key) {
            std::memcpy(payload, ref_.param_sets, ref_.param_sets_size);
            n = ref_.param_sets_size;
        }
        uint32_t have = 0;
        const uint8_t *p = file_.at(sample.pos, static_cast<uint32_t>(sample.size), &have);
        for (uint32_t q = 0; p && q + ref_.length_size <= have;) {
            const uint32_t length = read_be(p + q, ref_.length_size);
            std::memcpy(payload + n, H264_START_CODE, H264_START_CODE_SIZE);
            std::memcpy(payload + n + H264_START_CODE_SIZE, p + q + ref_.length_size, length);
            n += H264_START_CODE_SIZE + length;
            q += ref_.length_size + length;
        }
        const int64_t decode = int64_t{pictures_} * ref_.frame_duration;
        fill(frame, payload, n, VRC_MEDIA_VIDEO, decode, ref_.tracks[0].timescale);
        if (p) frame->time.composition_offset = composition_offset(p + sample.first_slice_at, sample);
        frame->packet.key_frame = sample.key ? 1 : 0;
        frame->packet.frame_type = sample.key ? VRC_FRAME_I : VRC_FRAME_P;
        frame->time.duration = ref_.frame_duration;
        pictures_ += 1;
        key_pictures_ += sample.key ? 1 : 0;
        pos_ = sample.pos + sample.size;
    }

    // The bytes from pos_ to next: mu-law sound when the reference has it
    // and they are no longer than its chunks allow, delivered a chunk at a
    // time; otherwise counted as unexplained. False when nothing is
    // delivered.
    bool take_sound(uint64_t next, Frame *frame, uint8_t *payload)
    {
        const uint64_t run = next - pos_;
        const bool sound = ref_.sound_codec == VRC_CODEC_G711U && run <= uint64_t{kChunksPerRun} * ref_.chunk_bytes;
        if (cut_picture_at(pos_)) {  // the rest of mdat
            cut_pictures_ += 1;
            cut_bytes_ += run;
            result_->frames_dropped += 1;
            result_->bytes_skipped += run;
            pos_ = next;
            return false;
        }
        if (!sound) {
            unexplained_ += run;
            result_->bytes_skipped += run;
            pos_ = next;
            return false;
        }
        const uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(run, ref_.chunk_bytes));
        uint32_t have = 0;
        const uint8_t *p = file_.at(pos_, size, &have);
        if (!p || have < size) return false;
        std::memcpy(payload, p, size);
        const uint32_t channels = std::max<uint32_t>(ref_.tracks[1].channels, 1);
        deliver_sound(frame, payload, size, size / channels);
        return true;
    }

    // The AAC frame at pos_, when one decodes there.
    bool take_aac_frame(Frame *frame, uint8_t *payload)
    {
        uint32_t have = 0;
        const uint32_t most = AAC_MAX_FRAME_BYTES_PER_CHANNEL * std::max<uint32_t>(ref_.tracks[1].channels, 1);
        const uint8_t *p = file_.at(pos_, static_cast<uint32_t>(std::min<uint64_t>(end_ - pos_, most)), &have);
        const uint32_t size = p ? aac_->frame_size(p, have) : 0;
        if (size == 0) return false;
        std::memcpy(payload, p, size);
        deliver_sound(frame, payload, size, kAacFrameSamples);
        sound_frames_ += 1;
        return true;
    }

    // The sound at pos_, size bytes already in payload, of samples samples.
    void deliver_sound(Frame *frame, uint8_t *payload, uint32_t size, uint32_t samples)
    {
        const vrc_track_info_t &sound_track = ref_.tracks[1];
        // sound_units_ counts samples; the track may count time otherwise
        // (a recorder's MP4 counts milliseconds).
        const uint32_t rate = std::max<uint32_t>(sound_track.sample_rate, 1);
        const int64_t decode = static_cast<int64_t>(sound_units_) * sound_track.timescale / rate;
        fill(frame, payload, size, VRC_MEDIA_AUDIO, decode, sound_track.timescale);
        frame->time.duration = static_cast<uint32_t>(uint64_t{samples} * sound_track.timescale / rate);
        frame->packet.frame_type = VRC_FRAME_AUDIO;
        frame->packet.key_frame = 1;
        sound_units_ += samples;
        sound_bytes_ += size;
        pos_ += size;
    }

    // Where the picture plays from its place in presentation order: two
    // counts a frame from the last IDR picture, whose count is 0, behind the
    // reference's delay. 0 when the order is not known.
    int32_t composition_offset(const uint8_t *slice, const Sample &sample)
    {
        uint32_t lsb = 0;
        if (!ref_.ordered || !h264_slice_poc_lsb(slice, sample.first_slice_size, ref_.order, &lsb)) return 0;
        if (sample.key) {
            idr_picture_ = pictures_;
            poc_msb_ = 0;
            prev_lsb_ = 0;
        }
        // The count's high part, as a decoder keeps it: a jump of more than
        // half the range is a wrap.
        const int64_t range = int64_t{1} << ref_.order.poc_lsb_bits;
        int64_t msb = poc_msb_;
        if (lsb < prev_lsb_ && prev_lsb_ - lsb >= range / 2) msb += range;
        if (lsb > prev_lsb_ && lsb - prev_lsb_ > range / 2) msb -= range;
        if ((slice[0] & 0x60u) != 0) {
            poc_msb_ = msb;
            prev_lsb_ = lsb;
        }
        const int64_t shown = int64_t{idr_picture_} + (msb + lsb) / 2;
        const int64_t offset = (shown - pictures_) * ref_.frame_duration + ref_.delay;
        return static_cast<int32_t>(std::max<int64_t>(std::min<int64_t>(offset, INT32_MAX), INT32_MIN));
    }

    void fill(Frame *frame, uint8_t *payload, uint32_t size, uint8_t media, int64_t decode, uint32_t timescale)
    {
        *frame = Frame{};
        vrc_media_packet_t &packet = frame->packet;
        packet.size = size;
        packet.data = payload;
        packet.media_type = media;
        packet.codec_id = static_cast<uint8_t>(ref_.tracks[media == VRC_MEDIA_VIDEO ? 0 : 1].codec_id);
        packet.timestamp = static_cast<uint32_t>(decode * 1000 / timescale);
        frame->time.decode_time = decode;
        frame->exact = true;
        last_ms_ = std::max<int64_t>(last_ms_, packet.timestamp);
    }

    const char *path_;
    Progress *progress_;
    vrc_convert_result_t *result_;
    UriIoBatch *lent_ = nullptr;
    Reference ref_{};
    mov_frame_entry_t studied_[kStudiedSamples]{};
    uint32_t studied_count_ = 0;
    BlockFile file_;
    uint64_t begin_ = 0;  // the broken file's mdat payload
    uint64_t end_ = 0;
    uint64_t pos_ = 0;    // where the walk stands
    uint32_t pictures_ = 0;
    uint32_t key_pictures_ = 0;
    uint32_t idr_picture_ = 0;   // the last IDR picture's decode index
    int64_t poc_msb_ = 0;        // of the last reference picture
    uint32_t prev_lsb_ = 0;
    uint64_t sound_bytes_ = 0;   // sound delivered
    uint32_t sound_frames_ = 0;  // AAC frames delivered
    uint64_t sound_units_ = 0;   // mu-law samples delivered: the next sound's decode time
    uint64_t unexplained_ = 0;   // bytes neither picture nor sound
    uint32_t cut_pictures_ = 0;  // the picture the end of mdat cut off
    uint64_t cut_bytes_ = 0;
    int64_t last_ms_ = 0;
    std::unique_ptr<AacFrameBounds> aac_;  // null: no AAC sound, or no decoder
    const char *aac_refusal_ = "";
};

}  // namespace

std::unique_ptr<FrameSource> open_salvage_source(const char *path, const char *reference, Progress *progress,
                                                 vrc_convert_result_t *result, int *rc)
{
    auto source = std::make_unique<SalvageSource>(path, progress, result);
    *rc = source->open(reference);
    if (*rc != 0) return nullptr;
    return source;
}

}  // namespace vrc
