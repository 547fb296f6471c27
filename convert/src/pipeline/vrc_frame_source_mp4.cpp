// An MP4 file as a frame source: the MP4 reader delivers H.264 in Annex B
// with the parameter sets before key frames, AAC behind ADTS headers and
// mu-law raw, as the muxer takes them.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "vrc_codec.h"
#include "vrc_date_time.h"
#include "vrc_frame_source.h"
#include "vrc_mp4_demuxer.h"
#include "vrc_mp4_demuxer_samples.h"
#include "vrc_mp4_format.h"
#include "vrc_uri_io_block.h"

namespace vrc {
namespace {

class Mp4Source final : public FrameSource {
public:
    Mp4Source(vrc_mp4_demuxer_t *ctx, const char *path, Progress *progress, vrc_convert_result_t *result)
        : ctx_(ctx), path_(path), progress_(progress), result_(result)
    {
    }
    ~Mp4Source() override { vrc_mp4_demuxer_free(ctx_); }

    int open()
    {
        if (!vrc::file_identity(path_, &identity_))
            return fail_result(result_, VRC_CONVERT_ERR_INPUT, "cannot open %s: %s", path_, vrc::file_error_text());
        vrc_mp4_demuxer_read_header(ctx_);
        for (uint32_t t = 0; t < MOV_MAX_TRACKS; ++t) {
            const mov_track_meta_t &meta = ctx_->track_meta[t];
            has_edits_[t] = mov_demuxer_presentation(ctx_, t, &presentation_[t]);
            anchor_ms_[t] = int64_t{meta.creation_time} * 1000 - meta.start_time + edit_shift_ms(t);
            if (meta.media_type == VRC_MEDIA_AUDIO && (meta.codec_id == VRC_CODEC_G711U || meta.codec_id == VRC_CODEC_AAC) &&
                !audio_)
                audio_ = &meta;
            else if (meta.media_type == VRC_MEDIA_VIDEO && meta.codec_id == VRC_CODEC_H264 && !video_)
                video_ = &meta;
        }
        keep_read_tracks();
        recovery_.size = sizeof recovery_;
        if (vrc_mp4_demuxer_recovery(ctx_, &recovery_) != 0) recovery_ = vrc_mp4_recovery_t{};
        const int foreign = foreign_codec_failure();
        if (foreign != 0) return foreign;
        if (!video_ && !ctx_->private_mode && ctx_->box_info.nr_tracks != 0)
            return fail_result(result_, VRC_CONVERT_ERR_NO_FRAMES, "%s holds no video track", path_);
        const int unread = unread_samples_failure();
        if (unread != 0) return unread;
        gather_bytes_ = mu_law_frame_bytes();
        const bool video = video_ && mov_entry_count(ctx_, MOV_TABLE_VIDEO) != 0;
        if (video || (audio_ && mov_entry_count(ctx_, MOV_TABLE_AUDIO) != 0)) return 0;
        return no_frames_failure();
    }

    void describe(vrc_track_info_t tracks[2]) const override
    {
        std::memset(tracks, 0, 2 * sizeof(vrc_track_info_t));
        tracks[0].media_type = VRC_MEDIA_VIDEO;
        tracks[0].codec_id = VRC_CODEC_H264;
        tracks[0].timescale = timescale(video_);
        tracks[0].width = video_ ? video_->u.video.width : 0;  // replaced by the SPS's picture size
        tracks[0].height = video_ ? video_->u.video.height : 0;
        tracks[1].media_type = VRC_MEDIA_AUDIO;
        tracks[1].codec_id = audio_ ? audio_->codec_id : VRC_CODEC_G711U;
        tracks[1].timescale = timescale(audio_);
        tracks[1].channels = audio_ && audio_->u.audio.channels ? audio_->u.audio.channels : 1;
        tracks[1].sample_rate = audio_ && audio_->u.audio.sample_rate ? audio_->u.audio.sample_rate : 8000;
        tracks[1].bitwidth = 16;
        // What the AAC configuration says outranks the sample entry's fields
        // (which MP4 writers commonly set to two channels whatever the sound).
        const MovSampleDescription *sound = audio_ ? mov_demuxer_description(ctx_, slot_of(audio_), 0) : nullptr;
        if (sound && sound->channels != 0) tracks[1].channels = sound->channels;
        if (sound && sound->sample_rate != 0) tracks[1].sample_rate = sound->sample_rate;
    }

    uint32_t audio_config(uint8_t *out, uint32_t capacity) const override
    {
        const MovSampleDescription *sound = audio_ ? mov_demuxer_description(ctx_, slot_of(audio_), 0) : nullptr;
        if (!sound || sound->codec_id != VRC_CODEC_AAC || sound->config_size > capacity) return 0;
        std::memcpy(out, sound->config, sound->config_size);
        return sound->config_size;
    }

    // A recorder's own MP4 keeps its frames' calendar times; another
    // writer's file has only its creation second.
    int64_t calendar_precision_ms() const override { return ctx_->private_mode ? 0 : 1000; }

    int64_t skip(uint32_t slot) const override
    {
        const mov_track_meta_t *meta = slot == 0 ? video_ : audio_;
        const MovEdit *media = meta ? first_media_edit(slot_of(meta)) : nullptr;
        if (!media) return 0;
        return std::max<int64_t>(media->media_time - first_decode_time_[slot_of(meta)], 0);
    }

    // The reader copies each frame into payload, which the muxer's writes
    // may still borrow: they go out first.
    SourceStep read(Frame *frame, uint8_t *payload) override
    {
        vrc_media_packet_t *packet = &frame->packet;
        if (lent_) lent_->flush();
        for (;;) {
            if (ended_ || vrc_mp4_demuxer_read_packet(ctx_, packet, payload, kPayloadCapacity) != 0)
                return SourceStep::end;
            if (!wanted(*packet)) continue;
            take_times(frame);
            if (gather_bytes_) gather_sound(frame, payload);
            const uint64_t done = std::min<uint64_t>(vrc_uri_io_file_tell(ctx_->pb), identity_.size);
            if (!progress_->report(base, done)) {
                fail_result(result_, VRC_CONVERT_ERR_CANCELLED, "cancelled");
                return SourceStep::failed;
            }
            return SourceStep::frame;
        }
    }

    // The reader positions at the key frame at or before the whole second.
    bool seek(int64_t time_ms, uint8_t *) override
    {
        if (time_ms > last_ms(nullptr)) {
            ended_ = true;
            return false;
        }
        if (time_ms <= first_ms()) return true;
        const int64_t utc = time_ms / 1000;
        // The seek reads the calendar fields it is given as the host's local
        // standard time shifted by the context's zone: the zone that undoes
        // the host's makes them UTC.
        const vrc_date_time_t when = vrc_gmtime_to_date_time(utc, 0, 0, 0);
        const int64_t host_shift = vrc_date_time_to_gmtime(when) - utc;
        ctx_->tz = static_cast<uint32_t>(host_shift < 0 ? -host_shift : host_shift);
        ctx_->tz_west = host_shift < 0;
        ctx_->dst = 0;
        vrc_mp4_demuxer_seek(ctx_, when);
        return true;
    }

    // The frames a cut end left in part count as dropped once the end is
    // reached: a job opens an input more than once.
    int finish(bool whole) override
    {
        if (whole) result_->frames_dropped += recovery_.cut_frames;
        if (ctx_->pb->error != 0) return fail_result(result_, VRC_CONVERT_ERR_INPUT, "cannot read %s", path_);
        if (!progress_->report(base, identity_.size, true))
            return fail_result(result_, VRC_CONVERT_ERR_CANCELLED, "cancelled");
        return 0;
    }

    void lend(UriIoBatch *lent) override { lent_ = lent; }

    int64_t time_of(const vrc_media_packet_t &packet) const override
    {
        return anchor_ms_[packet.track_id < MOV_MAX_TRACKS ? packet.track_id : 0] + packet.timestamp;
    }

    int64_t first_ms() const override { return edge_ms(0); }
    int64_t first_ms_of(uint32_t slot) const override { return edge_ms(0, static_cast<int>(slot)); }
    int64_t last_ms(uint8_t *) override { return edge_ms(1); }

    void dropped(const vrc_media_packet_t &packet) override
    {
        result_->frames_dropped += 1;
        result_->bytes_skipped += packet.size;
    }

    void note(char *message, size_t size) const override
    {
        if (recovery_.no_moov)
            std::snprintf(message, size, "no moov: %u frames recovered from the frame records, %u cut off", recovery_.frames,
                          recovery_.cut_frames);
        if (cut_short_) cut_short_note(message, size);
        tracks_note(message, size);
    }

private:
    bool holds_box(uint32_t type) const
    {
        const mov_box_info_t &boxes = ctx_->box_info;
        for (uint32_t i = 0; i < boxes.nr_boxes && i < MOV_MAX_BOXES; ++i)
            if (boxes.boxes[i][1] == type) return true;
        return false;
    }

    // In table mode the reader delivers one track of each kind: the one
    // chosen above must be it.
    void keep_read_tracks()
    {
        if (ctx_->private_mode) return;
        if (video_ && slot_of(video_) != mov_demuxer_read_track(ctx_, VRC_MEDIA_VIDEO)) video_ = nullptr;
        if (audio_ && slot_of(audio_) != mov_demuxer_read_track(ctx_, VRC_MEDIA_AUDIO)) audio_ = nullptr;
    }

    // A picture or sound track of a codec this program does not read, with
    // no other track of its kind to read, fails the file naming the codec:
    // its other track alone is not the recording.
    int foreign_codec_failure() const
    {
        for (const uint32_t kind : {VRC_MEDIA_VIDEO, VRC_MEDIA_AUDIO}) {
            const uint32_t t = mov_demuxer_unread_track(ctx_, kind);
            if (t >= MOV_MAX_TRACKS) continue;
            char what[96];
            entry_text(ctx_->tracks[t].sample_entry_type, what, sizeof what);
            return fail_result(result_, VRC_CONVERT_ERR_UNSUPPORTED, "%s holds %s, which this program does not read",
                               path_, what);
        }
        return 0;
    }

    // A track whose tables declare more samples than the reader could place
    // would come out in part: a file cut short (a download that stopped)
    // is converted as far as its whole samples go, with a note; a whole
    // file whose samples the reader cannot place is refused instead.
    int unread_samples_failure()
    {
        if (ctx_->private_mode) return 0;
        const struct {
            const mov_track_meta_t *meta;
            uint32_t indexed;
            const char *name;
        } tracks[] = {{video_, mov_entry_count(ctx_, MOV_TABLE_VIDEO), "video"},
                      {audio_, mov_entry_count(ctx_, MOV_TABLE_AUDIO), "audio"}};
        for (const auto &t : tracks) {
            const uint32_t declared = t.meta ? ctx_->tracks[slot_of(t.meta)].stsz.sample_count : 0;
            if (t.indexed >= declared) continue;
            if (vrc_mp4_demuxer_check_complete(path_) == 0) {
                cut_short_ = true;
                continue;
            }
            return fail_result(result_, VRC_CONVERT_ERR_INPUT,
                               "only %u of the %u %s samples of %s can be read (the others lie past its end)",
                               t.indexed, declared, t.name, path_);
        }
        return 0;
    }

    // hosts match these notes: keep the wording
    // "cut short: 144 of 250 video and 46 of 80 audio samples kept"
    void cut_short_note(char *message, size_t size) const
    {
        const uint32_t video = video_ ? ctx_->tracks[slot_of(video_)].stsz.sample_count : 0;
        const uint32_t audio = audio_ ? ctx_->tracks[slot_of(audio_)].stsz.sample_count : 0;
        append_note(message, size, "cut short: %u of %u video and %u of %u audio samples kept",
                    mov_entry_count(ctx_, MOV_TABLE_VIDEO), video, mov_entry_count(ctx_, MOV_TABLE_AUDIO), audio);
    }

    // "read track 0 (video h264) and track 2 (audio aac) of 3" when the file
    // has tracks that were not read.
    void tracks_note(char *message, size_t size) const
    {
        const uint32_t tracks = mov_demuxer_track_count(ctx_);
        if (ctx_->private_mode || !video_ || tracks <= 1u + uint32_t{audio_ != nullptr}) return;
        const CodecRow *sound = audio_ ? codec_by_id(audio_->codec_id) : nullptr;
        if (sound)
            append_note(message, size, "read track %u (video h264) and track %u (audio %s) of %u", slot_of(video_),
                        slot_of(audio_), sound->short_name, tracks);
        else
            append_note(message, size, "read track %u (video h264) of %u", slot_of(video_), tracks);
    }

    // Adds to what the message says already, behind "; ".
    static void append_note(char *message, size_t size, const char *format, ...) VRC_PRINTF_FORMAT(3, 4)
    {
        const size_t used = std::strlen(message);
        if (used + 2 >= size) return;
        if (used) std::memcpy(message + used, "; ", 3);
        const size_t start = used ? used + 2 : 0;
        va_list args;
        va_start(args, format);
        std::vsnprintf(message + start, size - start, format, args);
        va_end(args);
    }

    // Bytes of a recorder's mu-law frame at the track's rate; 0 for other
    // sound, or a reader that gives no exact times to sum.
    uint32_t mu_law_frame_bytes() const
    {
        if (!audio_ || audio_->codec_id != VRC_CODEC_G711U || ctx_->private_mode) return 0;
        vrc_track_info_t tracks[2];
        describe(tracks);
        return static_cast<uint32_t>(uint64_t{tracks[1].sample_rate} * tracks[1].channels * kG711uFrameMs / 1000);
    }

    // Mu-law stored a sample per byte (QuickTime's way) is gathered into
    // frames of the recorder's size: the samples that follow in the same
    // run of the file and description, their durations summed.
    void gather_sound(Frame *frame, uint8_t *payload)
    {
        vrc_media_packet_t &first = frame->packet;
        if (first.media_type != VRC_MEDIA_AUDIO || !frame->exact) return;
        vrc_media_packet_t more{};
        while (first.size < gather_bytes_ && sound_continues(frame->time.description)) {
            const uint32_t room = kPayloadCapacity - first.size;
            if (vrc_mp4_demuxer_read_packet(ctx_, &more, payload + first.size, static_cast<int>(room)) != 0) return;
            first.size += more.size;
            frame->time.duration += mov_demuxer_sample_time(ctx_)->duration;
        }
    }

    bool sound_continues(uint32_t description) const
    {
        const uint32_t i = ctx_->audio_index;
        if (i == 0 || !mov_demuxer_next_from(ctx_, VRC_MEDIA_AUDIO)) return false;
        const MovEntry last = mov_entry(ctx_, MOV_TABLE_AUDIO, i - 1), next = mov_entry(ctx_, MOV_TABLE_AUDIO, i);
        return next.time.description == description && next.pos == last.pos + last.info.size &&
               next.info.size <= gather_bytes_;
    }

    // Why a file gives no frame that can be converted, as far as its header
    // says.
    int no_frames_failure() const
    {
        const int code = VRC_CONVERT_ERR_NO_FRAMES;
        if (!holds_box(mov_fourcc("moov")))
            return fail_result(result_, code, "%s holds no moov box (a file cut short?): its samples can be told "
                               "apart only with a whole file of the same camera as a reference", path_);
        return fail_result(result_, code, "no frame found in %s", path_);
    }

    // The reader's own times when it has them, else the millisecond stamp.
    void take_times(Frame *frame)
    {
        const MovSampleTime *time = mov_demuxer_sample_time(ctx_);
        frame->exact = time != nullptr;
        frame->time = time ? *time : MovSampleTime{};
        if (!time) frame->time.decode_time = frame->packet.timestamp;
        const uint32_t t = slot_of(frame->packet.media_type == VRC_MEDIA_VIDEO ? video_ : audio_);
        if (time && !decoded_[t]) {
            first_decode_time_[t] = time->decode_time;
            decoded_[t] = true;
        }
    }

    // The track's place in the reader's tables.
    uint32_t slot_of(const mov_track_meta_t *meta) const { return static_cast<uint32_t>(meta - ctx_->track_meta); }

    uint32_t timescale(const mov_track_meta_t *meta) const
    {
        const uint32_t units = meta ? mov_demuxer_timescale(ctx_, slot_of(meta)) : 0;
        return units != 0 ? units : 1000;
    }

    const MovEdit *first_media_edit(uint32_t t) const
    {
        return has_edits_[t] ? presentation_[t].first_media() : nullptr;
    }

    // An edit list moves a track's media on the movie's timeline: its first
    // media edit's media time plays after the empty edits in front of it.
    int64_t edit_shift_ms(uint32_t t) const
    {
        const MovEdit *media = first_media_edit(t);
        if (!media) return 0;
        const MovPresentation &p = presentation_[t];
        const uint32_t units = mov_demuxer_timescale(ctx_, t);
        const int64_t empty = p.movie_timescale ? int64_t(p.leading_empty() * 1000 / p.movie_timescale) : 0;
        return empty - (units ? media->media_time * 1000 / units : 0);
    }

    // Frames of the first H.264 track and of the first audio track.
    bool wanted(const vrc_media_packet_t &packet) const
    {
        const mov_track_meta_t *meta = packet.media_type == VRC_MEDIA_VIDEO ? video_ : audio_;
        return meta && packet.track_id == meta->track_id && packet.codec_id == meta->codec_id;
    }

    // The calendar time of the first (end 0) or last (end 1) frame of the tables.
    // The first (end 0) or last frame's calendar time, of both tables or of
    // table only (0 video, 1 audio).
    int64_t edge_ms(int end, int only = -1) const
    {
        int64_t edge = end ? INT64_MIN : INT64_MAX;
        for (uint32_t k = MOV_TABLE_VIDEO; k <= MOV_TABLE_AUDIO; ++k) {
            const uint32_t count = mov_entry_count(ctx_, k);
            if (count == 0 || (only >= 0 && k != static_cast<uint32_t>(only))) continue;
            const mov_frame_info_t f = mov_entry(ctx_, k, end ? count - 1 : 0).info;
            const int64_t t = anchor_ms_[f.track_id < MOV_MAX_TRACKS ? f.track_id : 0] + f.timestamp;
            edge = end ? std::max(edge, t) : std::min(edge, t);
        }
        return edge;
    }

    vrc_mp4_demuxer_t *ctx_;
    const char *path_;
    Progress *progress_;
    vrc_convert_result_t *result_;
    UriIoBatch *lent_ = nullptr;
    const mov_track_meta_t *video_ = nullptr;
    const mov_track_meta_t *audio_ = nullptr;
    int64_t anchor_ms_[MOV_MAX_TRACKS] = {};  // calendar time of each track's stamp 0, edits applied
    MovPresentation presentation_[MOV_MAX_TRACKS];
    bool has_edits_[MOV_MAX_TRACKS] = {};
    int64_t first_decode_time_[MOV_MAX_TRACKS] = {};  // of the first frame read, where the media skipped counts from
    bool decoded_[MOV_MAX_TRACKS] = {};
    bool ended_ = false;
    bool cut_short_ = false;    // the file ends inside its samples: those it holds whole are read
    uint32_t gather_bytes_ = 0;  // mu-law gathered into frames of this size; 0: samples stand as they are
    vrc_mp4_recovery_t recovery_{};  // a recording without moov: what its records gave
};

}  // namespace

std::unique_ptr<FrameSource> open_mp4_source(const char *path, uint8_t *, Progress *progress,
                                             vrc_convert_result_t *result, int *rc)
{
    vrc_mp4_demuxer_t *ctx = vrc_mp4_demuxer_new(0, path);
    if (!ctx) {
        *rc = fail_result(result, VRC_CONVERT_ERR_INPUT, "cannot open %s", path);
        return nullptr;
    }
    auto source = std::make_unique<Mp4Source>(ctx, path, progress, result);
    *rc = source->open();
    if (*rc != 0) return nullptr;
    return source;
}

std::unique_ptr<FrameSource> open_frame_source(const char *path, uint8_t *payload, Progress *progress,
                                               vrc_convert_result_t *result, int *rc)
{
    constexpr int kLikelyMp4 = 95;
    if (vrc_mp4_demuxer_read_probe(path) >= kLikelyMp4) return open_mp4_source(path, payload, progress, result, rc);
    return open_legacy_source(path, payload, progress, result, rc);
}

}  // namespace vrc
