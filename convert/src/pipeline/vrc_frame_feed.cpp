#include "vrc_frame_feed.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "vrc_date_time.h"
#include "vrc_mp4_muxer_internal.h"
#include "vrc_uri_io_block.h"

namespace vrc {
namespace {

constexpr uint32_t kVideoSlot = 0;
constexpr uint32_t kAudioSlot = 1;
// Audio and video frames interleave loosely: a frame this far past the
// range's end means that no later one falls inside it.
constexpr int64_t kInterleaveMs = 1000;

// "YYYY-MM-DD HH:MM:SS.mmm" in UTC.
void calendar_text(int64_t ms, char (&text)[32])
{
    const vrc_date_time_t t = vrc_gmtime_to_date_time(ms / 1000, 0, 0, 0);
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", unsigned(VRC_DT_YEAR(t) + 1970u),
                  unsigned(VRC_DT_MON(t)), unsigned(VRC_DT_MDAY(t)), unsigned(VRC_DT_HOUR(t)),
                  unsigned(VRC_DT_MIN(t)), unsigned(VRC_DT_SEC(t)), unsigned(ms % 1000));
}

// A time in one track's units in another's.
int64_t rescale(int64_t time, uint32_t from, uint32_t to)
{
    if (from == to || from == 0) return time;
    const int64_t whole = time / from, part = time % from;
    return whole * to + part * to / from;
}

}  // namespace

std::unique_ptr<FrameSource> Inputs::open_path(const char *path, uint8_t *payload, vrc_convert_result_t *result,
                                               int *rc) const
{
    if (reference) return open_salvage_source(path, reference, progress, result, rc);
    return open(path, payload, progress, result, rc);
}

std::unique_ptr<FrameSource> Inputs::source(size_t i, uint8_t *payload, vrc_convert_result_t *result, int *rc) const
{
    std::unique_ptr<FrameSource> source = open_path(records[i].path, payload, result, rc);
    if (source) source->base = records[i].base;
    return source;
}

FrameFeed::FrameFeed(Inputs inputs, const FeedPlan &plan, uint8_t *payload, vrc_convert_result_t *result)
    : inputs_(std::move(inputs)), plan_(plan), payload_(payload), result_(result)
{
}

int FrameFeed::open_input(size_t i)
{
    if (source_) source_->note(note_, sizeof note_);
    source_.reset();
    int rc = 0;
    source_ = inputs_.source(i, payload_, result_, &rc);
    current_ = i;
    if (source_) source_->lend(lent_);
    return rc;
}

int FrameFeed::range_failure()
{
    char from[32] = "", to[32] = "", first[32], last[32], range[96];
    int64_t first_ms = INT64_MAX, last_ms = INT64_MIN;
    for (size_t i = 0; i < inputs_.records.size(); ++i) {
        first_ms = std::min(first_ms, inputs_.records[i].first_ms);
        int rc = 0;
        const std::unique_ptr<FrameSource> source = inputs_.source(i, payload_, result_, &rc);
        if (!source) return rc;
        last_ms = std::max(last_ms, source->last_ms(payload_));
    }
    if (last_ms == INT64_MIN) return fail_result(result_, VRC_CONVERT_ERR_NO_FRAMES, "no frame found");
    if (has_from()) calendar_text(plan_.from_ms, from);
    if (has_to()) calendar_text(plan_.to_ms, to);
    calendar_text(first_ms, first);
    calendar_text(last_ms, last);
    if (!has_to())
        std::snprintf(range, sizeof range, "from %s UTC on", from);
    else if (!has_from())
        std::snprintf(range, sizeof range, "before %s UTC", to);
    else
        std::snprintf(range, sizeof range, "between %s and %s UTC", from, to);
    return fail_result(result_, VRC_CONVERT_ERR_RANGE, "no frame %s: the recording spans %s to %s UTC", range, first,
                       last);
}

// Inputs that end before the range starts or start after it ends are
// passed over; the first one that reaches into it begins at the key frame
// at or before its start.
int FrameFeed::start()
{
    const size_t count = inputs_.records.size();
    for (size_t i = 0; i < count; ++i) {
        if (has_to() && inputs_.records[i].first_ms >= plan_.to_ms) return range_failure();
        int rc = open_input(i);
        if (rc != 0) return rc;
        if (!has_from() || source_->seek(plan_.from_ms, payload_)) return 0;
        rc = source_->finish(false);
        if (rc != 0) return rc;
    }
    return range_failure();
}

void FrameFeed::lend(UriIoBatch *lent)
{
    lent_ = lent;
    if (source_) source_->lend(lent);
}

// The next input in line, once the current one is read to its end (whole)
// or to the end of the range. Joined inputs must follow in time.
int FrameFeed::next_source()
{
    if (lent_) lent_->flush();  // the frames of the current input may still be borrowed
    for (size_t i = current_ + 1; i < inputs_.records.size(); ++i) {
        const InputRecord &input = inputs_.records[i];
        if (has_to() && input.first_ms >= plan_.to_ms) continue;
        const int64_t before = source_ ? source_->calendar_precision_ms() : 0;
        const int rc = open_input(i);
        if (rc != 0) return rc;
        const bool seamless = follows_seamlessly(std::max(before, source_->calendar_precision_ms()));
        shift_ms_ = seamless ? last_end_ms_[kVideoSlot] - source_->first_ms_of(kVideoSlot) : 0;
        overlap_[0] = overlap_[1] = seamless;
        if (!seamless && input.first_ms < last_ms_)
            return fail_result(result_, VRC_CONVERT_ERR_JOIN,
                               "the recordings overlap in time: one ends after the next begins");
        vrc_track_info_t theirs[2];
        source_->describe(theirs);
        if (inputs_.front_tracks[1].codec_id != theirs[1].codec_id)
            return fail_result(result_, VRC_CONVERT_ERR_JOIN, "the recordings' sound differs");
        source_started_ = false;
        placed_[0] = placed_[1] = false;
        return 0;
    }
    current_ = inputs_.records.size();
    return 0;
}

// Calendar times known to the second cannot tell a part that follows the
// one before it seamlessly (a recorder that cuts its recording into files)
// from one a fraction of a second off: a part that begins within that
// second of the end of the one before is joined to its end, without a hole:
// its first picture follows the last one's. Sound the cut left on both
// sides of it (a frame that straddled it, the encoder's priming) is played
// once, by the part before.
bool FrameFeed::follows_seamlessly(int64_t precision_ms) const
{
    if (precision_ms == 0 || last_end_ms_[kVideoSlot] == INT64_MIN) return false;
    const int64_t gap = source_->first_ms_of(kVideoSlot) - last_end_ms_[kVideoSlot];
    return gap >= -precision_ms && gap <= precision_ms;
}

// Whether the frame at t of a part joined seamlessly plays what the part
// before already played: only its track's first frames can.
bool FrameFeed::played_before(const vrc_media_packet_t &packet, int64_t t)
{
    const uint32_t slot = packet.media_type == VRC_MEDIA_VIDEO ? kVideoSlot : kAudioSlot;
    if (!overlap_[slot]) return false;
    overlap_[slot] = t < last_end_ms_[slot];
    return overlap_[slot];
}

// A clip begins with the key frame at or before its start, its audio at the
// same point, and ends before its end.
bool FrameFeed::wanted(const vrc_media_packet_t &packet, int64_t t)
{
    if (has_to() && t >= plan_.to_ms) return false;
    if (!has_from()) return true;
    if (packet.media_type == VRC_MEDIA_VIDEO) return source_started_ || packet.key_frame;
    return source_started_ && t >= key_ms_;
}

int64_t FrameFeed::grid_floor(int64_t t) const
{
    const int64_t local = t + plan_.zone_ms;
    const int64_t cells = local / plan_.segment_ms - (local % plan_.segment_ms < 0 ? 1 : 0);
    return cells * plan_.segment_ms - plan_.zone_ms;
}

int64_t FrameFeed::start_of_output(int64_t t) const
{
    if (!first_output_) return grid_floor(t);
    return has_from() ? std::max(plan_.from_ms, t) : t;
}

bool FrameFeed::cuts_here(const vrc_media_packet_t &packet, int64_t t) const
{
    return !output_empty_ && packet.media_type == VRC_MEDIA_VIDEO && packet.key_frame && t >= next_boundary_ms_;
}

// Exact times keep their steps; the input's first frame of each track puts
// its clock on the output's by its calendar time (the one rounding to
// milliseconds), and input timescales other than the output's are rescaled.
void FrameFeed::place_exact(Frame *frame, uint32_t slot, int64_t t)
{
    if (!placed_[slot]) {  // the input's timescale, once per input and track
        vrc_track_info_t theirs[2];
        source_->describe(theirs);
        input_timescale_[slot] = theirs[slot].timescale;
    }
    const uint32_t from = input_timescale_[slot], to = timescale_[slot];
    MovSampleTime &time = frame->time;
    time.decode_time = rescale(time.decode_time, from, to);
    time.composition_offset = static_cast<int32_t>(rescale(time.composition_offset, from, to));
    time.duration = static_cast<uint32_t>(rescale(time.duration, from, to));
    if (!placed_[slot]) {
        placed_by_[slot] = rescale(t - origin_ms_, 1000, to) - time.decode_time;
        placed_[slot] = true;
    }
    time.decode_time += placed_by_[slot];
}

// Stamps the frame on the output clock: the first input keeps its own
// stamps, later ones follow by their calendar times.
void FrameFeed::deliver(Frame *frame, int64_t t)
{
    vrc_media_packet_t *packet = &frame->packet;
    if (!origin_set_) {
        origin_ms_ = t - packet->timestamp;
        origin_set_ = true;
        vrc_track_info_t tracks[2];
        describe(tracks);
        timescale_[0] = tracks[0].timescale;
        timescale_[1] = tracks[1].timescale;
    }
    packet->timestamp = static_cast<uint32_t>(t - origin_ms_);
    const bool video = packet->media_type == VRC_MEDIA_VIDEO;
    const uint32_t slot = video ? kVideoSlot : kAudioSlot;
    if (frame->exact)
        place_exact(frame, slot, t);
    else
        frame->time.decode_time = packet->timestamp;
    packet->track_id = static_cast<uint8_t>(slot);
    packet->codec_id = video ? VRC_CODEC_H264 : packet->codec_id;
    packet->seq = seq_[slot]++;
    if (!track_seen_[slot]) {
        track_first_stamp_[slot] = packet->timestamp;
        track_first_offset_[slot] = frame->time.composition_offset;
    }
    track_seen_[slot] = true;
    if (output_empty_) {
        output_start_ms_ = start_of_output(t);
        if (plan_.segment_ms != 0) next_boundary_ms_ = grid_floor(t) + plan_.segment_ms;
    }
    output_empty_ = false;
    last_ms_ = std::max(last_ms_, t);
    const int64_t duration_ms = frame->exact ? rescale(frame->time.duration, timescale_[slot], 1000) : 0;
    last_end_ms_[slot] = std::max(last_end_ms_[slot], t + duration_ms);
    if ((!has_from() || t >= plan_.from_ms) && (!has_to() || t < plan_.to_ms)) ++in_range_;
}

// The next frame the range and the joins let through, with its calendar
// time; end when the inputs are read or the range is passed.
FeedStep FrameFeed::read_wanted(Frame *frame, int64_t *t, int *rc)
{
    vrc_media_packet_t *packet = &frame->packet;
    while (current_ < inputs_.records.size()) {
        FrameSource &source = *source_;
        const SourceStep step = source.read(frame, payload_);
        if (step == SourceStep::failed) {
            *rc = VRC_CONVERT_ERR_CANCELLED;
            return FeedStep::failed;
        }
        *t = step == SourceStep::frame ? source.time_of(*packet) + shift_ms_ : 0;
        const bool past = step == SourceStep::frame && has_to() && *t >= plan_.to_ms + kInterleaveMs;
        if (step == SourceStep::end || past) {
            *rc = source.finish(!past);
            if (*rc == 0 && !past) *rc = next_source();
            if (*rc != 0) return FeedStep::failed;
            if (past) break;
            continue;
        }
        if (!wanted(*packet, *t) || played_before(*packet, *t)) continue;
        if (packet->media_type == VRC_MEDIA_VIDEO && packet->key_frame && !source_started_) {
            source_started_ = true;
            key_ms_ = *t;
        }
        return FeedStep::frame;
    }
    return FeedStep::end;
}

int FrameFeed::look_ahead()
{
    int rc = 0;
    held_ = read_wanted(&held_frame_, &held_ms_, &rc) == FeedStep::frame;
    return rc;
}

int64_t FrameFeed::output_start_ms() const
{
    if (!held_) return 0;
    return start_of_output(held_ms_);
}

FeedStep FrameFeed::next(Frame *frame, int *rc)
{
    int64_t t = 0;
    if (held_ && output_empty_) {
        held_ = false;
        *frame = held_frame_;
        t = held_ms_;
    } else {
        const FeedStep step = read_wanted(frame, &t, rc);
        if (step != FeedStep::frame) return step;
    }
    if (cuts_here(frame->packet, t)) {
        held_ = true;
        held_frame_ = *frame;
        held_ms_ = t;
        return FeedStep::cut;
    }
    deliver(frame, t);
    return FeedStep::frame;
}

void FrameFeed::begin_output()
{
    output_empty_ = true;
    first_output_ = false;
    seq_[0] = seq_[1] = 0;
    track_seen_[0] = track_seen_[1] = false;
}

// A track's presentation begins where the first of these is passed: the
// clip's start, the input's own start (its edit list, its first picture
// after the B-frames' lead), and a later output's first picture.
void FrameFeed::set_edits(vrc_mp4_muxer_t *muxer) const
{
    const int64_t start_ms = std::max(output_start_ms_, has_from() ? plan_.from_ms : INT64_MIN);
    const uint32_t start = static_cast<uint32_t>(start_ms - origin_ms_);
    for (uint32_t slot = 0; slot < 2; ++slot) {
        if (!track_seen_[slot]) continue;
        const uint32_t timescale = muxer->tracks[slot].timescale;
        int64_t skip = std::max<int64_t>(track_first_offset_[slot], 0);
        if (first_output_) skip = std::max(skip, rescale(inputs_.front_skip[slot], timescale_[slot], timescale));
        const int64_t clip = mov_stamp_step(track_first_stamp_[slot], start);
        if (first_output_ && has_from() && clip > 0) skip = std::max(skip, clip * timescale / 1000);
        muxer->media_skip[slot] += static_cast<uint32_t>(skip);
    }
    if (has_to() && plan_.to_ms > start_ms)
        muxer->play_length = static_cast<uint32_t>(std::min<int64_t>(plan_.to_ms - start_ms, UINT32_MAX));
}

int FrameFeed::finish()
{
    if ((has_from() || has_to()) && in_range_ == 0) return range_failure();
    return 0;
}

void FrameFeed::note(char *message, size_t size) const
{
    if (note_[0] != '\0') std::snprintf(message, size, "%s", note_);
    if (source_) source_->note(message, size);
}

}  // namespace vrc
