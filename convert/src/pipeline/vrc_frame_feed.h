// The steps between the frame sources and the muxing path: inputs joined in
// time order, a calendar time range, and cuts into segments. It hands the
// muxer one frame at a time, stamped on one clock for all inputs.
#ifndef VRC_FRAME_FEED_H
#define VRC_FRAME_FEED_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "vrc_frame_source.h"
#include "vrc_mp4_format.h"

struct vrc_mp4_muxer_t;

namespace vrc {

struct FeedPlan {
    int64_t from_ms = VRC_CONVERT_NO_TIME;  // calendar range; NO_TIME leaves an end open
    int64_t to_ms = VRC_CONVERT_NO_TIME;
    int64_t segment_ms = 0;                 // 0: one output
    int64_t zone_ms = 0;                    // of the segment grid and the names
};

enum class FeedStep { frame, cut, end, failed };

// One input of a job, as small as a join of thousands needs: what it was
// found to be when it was first opened. Its source is opened again when its
// turn comes and closed after, so that a join holds one input open at a time.
struct InputRecord {
    const char *path;       // the host's, for the job's length
    FileIdentity identity;  // at the first opening: its size counts for progress
    int64_t first_ms;       // calendar time of its first frame
    uint64_t base;          // bytes of the inputs before it, for progress
};

using SourceOpener = std::unique_ptr<FrameSource> (*)(const char *path, uint8_t *payload, Progress *progress,
                                                      vrc_convert_result_t *result, int *rc);

// The inputs in time order and how to open them; the first one's tracks,
// the media its presentation skips and its sound's configuration, which the
// output takes from it.
struct Inputs {
    std::vector<InputRecord> records;
    SourceOpener open = nullptr;
    const char *reference = nullptr;  // non-null: inputs without moov, read with this whole file of their camera
    Progress *progress = nullptr;
    vrc_track_info_t front_tracks[2] = {};
    int64_t front_skip[2] = {};
    uint8_t front_audio_config[MOV_MAX_AUDIO_CONFIG] = {};
    uint32_t front_audio_config_size = 0;

    // The source of the input at path: through open, or salvaged with the
    // reference; null with the failure's code in *rc.
    std::unique_ptr<FrameSource> open_path(const char *path, uint8_t *payload, vrc_convert_result_t *result,
                                           int *rc) const;
    // Input i's source, null with the failure's code in *rc.
    std::unique_ptr<FrameSource> source(size_t i, uint8_t *payload, vrc_convert_result_t *result, int *rc) const;
};

class FrameFeed {
public:
    // inputs: in time order, at least one; payload: kPayloadCapacity bytes.
    FrameFeed(Inputs inputs, const FeedPlan &plan, uint8_t *payload, vrc_convert_result_t *result);
    // Positions the inputs at the range's start. 0, or VRC_CONVERT_ERR_RANGE
    // when no input reaches into the range.
    int start();
    void describe(vrc_track_info_t tracks[2]) const
    {
        std::memcpy(tracks, inputs_.front_tracks, sizeof inputs_.front_tracks);
    }
    // The next frame of the current output, with the muxer's track slot and
    // numbering. cut: the frame (held) begins the next output; call
    // begin_output, then next delivers it. failed: *rc and the message tell.
    FeedStep next(Frame *frame, int *rc);
    void begin_output();
    // Reads the first frame ahead, so that the first output's start is
    // known before it is named. 0 or a failure code.
    int look_ahead();
    // Calendar time that names the output about to begin (its first frame
    // read ahead): the range's start or its first frame, for a later
    // segment the start of its segment; 0 when no frame follows.
    int64_t output_start_ms() const;
    // The edits that make the current output play from the range's start
    // to its end.
    void set_edits(vrc_mp4_muxer_t *muxer) const;
    // After the end: 0, or VRC_CONVERT_ERR_RANGE when no frame fell in the
    // range (the message gives the span of the inputs).
    int finish();
    void lend(UriIoBatch *lent);
    void dropped(const vrc_media_packet_t &packet) { source_->dropped(packet); }
    void note(char *message, size_t size) const;
    const Inputs &inputs() const { return inputs_; }
    // The first input's sound configuration into out; its size, 0 for none.
    uint32_t audio_config(uint8_t *out, uint32_t capacity) const
    {
        const uint32_t size = std::min(inputs_.front_audio_config_size, capacity);
        std::memcpy(out, inputs_.front_audio_config, size);
        return size;
    }

private:
    bool has_from() const { return plan_.from_ms != VRC_CONVERT_NO_TIME; }
    bool has_to() const { return plan_.to_ms != VRC_CONVERT_NO_TIME; }
    bool wanted(const vrc_media_packet_t &packet, int64_t t);
    FeedStep read_wanted(Frame *frame, int64_t *t, int *rc);
    int next_source();
    bool follows_seamlessly(int64_t precision_ms) const;
    bool played_before(const vrc_media_packet_t &packet, int64_t t);
    // Closes the current input, keeping what it has to say, and opens input i.
    int open_input(size_t i);
    bool cuts_here(const vrc_media_packet_t &packet, int64_t t) const;
    int64_t grid_floor(int64_t t) const;
    // When an output whose first frame is at t starts: the range's start or
    // that frame for the first output, the grid line before it for the others.
    int64_t start_of_output(int64_t t) const;
    void deliver(Frame *frame, int64_t t);
    void place_exact(Frame *frame, uint32_t slot, int64_t t);
    int range_failure();

    Inputs inputs_;
    std::unique_ptr<FrameSource> source_;  // inputs_'s current_, open
    FeedPlan plan_;
    uint8_t *payload_;
    vrc_convert_result_t *result_;
    UriIoBatch *lent_ = nullptr;
    size_t current_ = 0;
    char note_[sizeof(vrc_convert_result_t::message)] = "";  // what the inputs closed had to add
    bool source_started_ = false;  // the current input delivered its first key frame
    bool origin_set_ = false;
    int64_t origin_ms_ = 0;        // calendar time of stamp 0 on the output clock
    int64_t key_ms_ = 0;           // the current input's first key frame, where a clip's audio begins
    int64_t last_ms_ = INT64_MIN;  // of the last frame delivered
    int64_t last_end_ms_[2] = {INT64_MIN, INT64_MIN};  // per track, where its frames delivered end
    int64_t shift_ms_ = 0;         // added to the current input's calendar times (a seamless join)
    bool overlap_[2] = {};         // per track: a seamless join's frames may still repeat the part before
    uint32_t in_range_ = 0;        // frames delivered within the range
    uint32_t seq_[2] = {};
    bool held_ = false;            // a frame waits for the next output
    Frame held_frame_{};
    int64_t held_ms_ = 0;
    bool output_empty_ = true;
    bool first_output_ = true;
    int64_t output_start_ms_ = 0;
    int64_t next_boundary_ms_ = INT64_MAX;
    bool track_seen_[2] = {};
    uint32_t track_first_stamp_[2] = {};
    int32_t track_first_offset_[2] = {};    // its composition offset
    uint32_t timescale_[2] = {};            // of the output's tracks: the first input's
    // Exact times: what the current input's decode times gain on the
    // output's clock, per track, once its first frame has set it.
    bool placed_[2] = {};
    int64_t placed_by_[2] = {};
    uint32_t input_timescale_[2] = {};      // of the current input's tracks, once placed
};

}  // namespace vrc

#endif
