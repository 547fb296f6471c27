// When each sample plays. A frame's stamp is the time of its first sample;
// the tail replaces the stamps of a track's frames in the frame table by the
// times its samples play, so that every sample's duration is the step to the
// next one. Damaged stamps are repaired on the way: a step that goes
// backwards, or forwards by more than a second, is judged against the
// track's own cadence and against the other track, whose frames the recorder
// wrote in between. A stretch of stamps that comes back to the track's line
// is put back in line; a jump forward is kept as a pause only when the other
// track pauses alike; any other jump is replaced by the usual step, and the
// track goes on from its new stamps. A track starts where its first sample
// agreeing with the other track puts it, or, with none, where the frames
// written around its first one do. No bad stamp can move the rest of a
// track away from what its frames imply, nor from the other track.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "vrc_mp4_muxer_internal.h"

namespace {

using vrc::mov_stamp_step;

// A stretch of bad stamps is put back in line when the stamps come back to
// the track's line within this many samples (10 s at 25 frames a second).
constexpr uint32_t kRunLookahead = 250;
// How far into a track a first sample agreeing with the other track is
// looked for.
constexpr uint32_t kAnchorLookahead = 250;
// No camera is slower than a frame an hour: a longer cadence is stamps astray.
constexpr int64_t kSlowestPaceSeconds = 3600;

// The other track, whose stamps tell a pause from damage: audio for the
// video track, video for every other.
uint32_t other_slot(uint32_t slot) { return slot == 0 ? 1 : 0; }

// One slot's frames in write order.
class SlotCursor {
public:
    SlotCursor(const vrc_mp4_muxer_t &m, uint32_t slot)
        : m_(&m), slot_(slot), places_(m.late_track == slot + 1 ? m.table.late_places : nullptr)
    {
        settle();
    }
    bool done() const { return at_ >= m_->nr_frames; }
    uint32_t index() const { return at_; }
    // Where the frame stands against the other track: its write position,
    // or for a track written late, where its first input frame stood.
    uint32_t place() const { return places_ ? places_[ordinal_] : at_; }
    uint32_t stamp() const { return m_->table.frames[at_].timestamp; }
    void next()
    {
        ++at_;
        ++ordinal_;
        settle();
    }
    SlotCursor after() const
    {
        SlotCursor later = *this;
        later.next();
        return later;
    }

private:
    void settle()
    {
        while (at_ < m_->nr_frames && m_->table.frames[at_].track_id != slot_) ++at_;
    }

    const vrc_mp4_muxer_t *m_;
    uint32_t slot_;
    const uint32_t *places_;  // null: the frames stand where they were written
    uint32_t at_ = 0;
    uint32_t ordinal_ = 0;    // of the frame among the slot's
};

// The other track's stamps around a place in the write order: its last
// two frames before the place and its first two after.
class OtherTrack {
public:
    struct Before {
        uint32_t held;  // frames known before the place, up to 2
        uint32_t earlier, last;
    };

    OtherTrack(const vrc_mp4_muxer_t &m, uint32_t slot) : next_(m, slot) {}
    void move_to(uint32_t place)
    {
        for (; !next_.done() && next_.place() < place; next_.next()) {
            before_ = Before{before_.held < 2 ? before_.held + 1 : 2, before_.last, next_.stamp()};
        }
    }
    Before before() const { return before_; }
    bool has_next() const { return !next_.done(); }
    bool present() const { return before_.held != 0 || has_next(); }
    // Its stamp at the place: of its last frame before, else of its first after.
    uint32_t stamp_at() const { return before_.held != 0 ? before_.last : next_.stamp(); }
    // Whether stamp lies within tolerance of the stamps on either side.
    bool near(uint32_t stamp, int64_t tolerance) const
    {
        return (before_.held != 0 && std::llabs(mov_stamp_step(before_.last, stamp)) <= tolerance) ||
               (has_next() && std::llabs(mov_stamp_step(next_.stamp(), stamp)) <= tolerance);
    }
    // Whether the track's stamps went on by about step from before (an
    // earlier place) to here: give or take a second and the track's own
    // steps on either side, which vouch for the stamps there (each at most
    // vouch long), and never more than half.
    bool went_on_by(const Before &before, int64_t step, int64_t second, int64_t vouch) const
    {
        const SlotCursor next2 = next_.after();
        if (before.held < 2 || next2.done()) return false;
        const int64_t into = mov_stamp_step(before.earlier, before.last);
        const int64_t out = mov_stamp_step(next_.stamp(), next2.stamp());
        const int64_t across = mov_stamp_step(before.last, next_.stamp());
        const int64_t tolerance = std::min(step / 2, second + into + out);
        return into >= 0 && into <= vouch && out >= 0 && out <= vouch && std::llabs(across - step) <= tolerance;
    }

private:
    SlotCursor next_;
    Before before_{0, 0, 0};
};

// A stretch of bad stamps between two samples on the track's line: the span
// between them is shared out evenly over its steps.
struct Run {
    uint64_t span = 0;
    uint32_t steps = 0;
    uint32_t taken = 0;
    bool active() const { return taken < steps; }
    uint32_t next_step()
    {
        ++taken;
        return static_cast<uint32_t>(span * taken / steps - span * (taken - 1) / steps);
    }
};

class StampRepair {
public:
    StampRepair(vrc_mp4_muxer_t &m, uint32_t slot)
        : m_(m), slot_(slot), max_step_(m.tracks[slot].timescale), at_(m, slot), other_(m, other_slot(slot)),
          other_previous_(other_)
    {
        const uint32_t frame = m.tracks[slot].timescale / 25;  // 40 ms until the track shows its own
        usual_ = frame != 0 ? frame : 1;
    }
    vrc::TrackTiming run();

private:
    uint32_t anchor_sample() const;
    uint32_t duration_to(uint32_t stamp);
    Run run_back_to_line(uint32_t stamp, int64_t step) const;
    bool on_line(uint32_t from, uint32_t to, uint32_t samples) const;
    bool is_pause(uint32_t stamp, int64_t step) const;
    bool next_steps_alike(uint32_t stamp, int64_t step) const;
    void learn_cadence(int64_t step);
    uint32_t pace() const { return slow_pace_ != 0 ? slow_pace_ : usual_; }
    void shift(int64_t by);
    void start_with_other_track();

    vrc_mp4_muxer_t &m_;
    const uint32_t slot_;
    const int64_t max_step_;  // one second: a longer step is a jump
    uint32_t usual_;          // the track's cadence
    uint32_t slow_pace_ = 0;  // its pace when slower than a frame a second, else 0
    int64_t last_step_ = 0;   // the last regular step, as it came
    SlotCursor at_;
    OtherTrack other_;           // around the sample at hand
    OtherTrack other_previous_;  // around the sample before
    uint32_t anchor_ = 0;     // the first sample in step with the other track
    uint32_t sample_ = 0;     // the number of the sample at hand
    uint32_t previous_ = 0;   // the stamp of the sample before, as it came
    Run run_;
    vrc::TrackTiming timing_{};
};

// The track plays in step with the other track from its first sample whose
// stamp agrees with the other track's around it, so that bad stamps at its
// start cannot move it: the first one that also agrees with the next
// sample's, else the first one; from its first sample when none among the
// first ones agrees, or with no other track.
uint32_t StampRepair::anchor_sample() const
{
    OtherTrack other(m_, other_slot(slot_));
    uint32_t first_near = UINT32_MAX;
    SlotCursor sample = at_;
    for (uint32_t n = 0; n < kAnchorLookahead && !sample.done() && other.present(); ++n, sample.next()) {
        other.move_to(sample.place());
        if (!other.near(sample.stamp(), max_step_)) continue;
        const SlotCursor next = sample.after();
        const int64_t step = next.done() ? 0 : mov_stamp_step(sample.stamp(), next.stamp());
        if (step >= 0 && step <= max_step_) return n;
        if (first_near == UINT32_MAX) first_near = n;
    }
    return first_near == UINT32_MAX ? 0 : first_near;
}

vrc::TrackTiming StampRepair::run()
{
    if (at_.done()) return timing_;
    anchor_ = anchor_sample();
    timing_.start = previous_ = at_.stamp();
    uint32_t played = previous_;  // when the sample plays
    // The first sample from the anchor on that plays at its own stamp, not
    // put back in line, and its offset from its stamp.
    uint32_t anchored = anchor_ == 0 ? 0 : UINT32_MAX;
    int64_t anchor_shift = 0;
    uint32_t repaired_to_anchor = 0;
    other_.move_to(at_.place());
    for (sample_ = 1; at_.next(), !at_.done(); ++sample_) {
        const uint32_t stamp = at_.stamp();
        other_previous_ = other_;
        other_.move_to(at_.place());
        const uint32_t duration = duration_to(stamp);
        timing_.duration += duration;
        played += duration;
        m_.table.frames[at_.index()].timestamp = played;
        previous_ = stamp;
        if (anchored == UINT32_MAX && sample_ >= anchor_ && !run_.active()) {
            anchored = sample_;
            anchor_shift = mov_stamp_step(played, stamp);
            repaired_to_anchor = timing_.repaired;
        }
    }
    timing_.last_duration = pace();
    timing_.duration += timing_.last_duration;
    if (anchor_shift != 0) {  // the samples before the anchor are the ones put back
        shift(anchor_shift);
        timing_.repaired += anchored - repaired_to_anchor;
    }
    if (other_slot(slot_) < slot_) start_with_other_track();
    return timing_;
}

// Stamps that never agree with the other track's (a clock of their own, or
// none sound) cannot say where the track starts against it; the write order
// can: the first sample plays when the other track's frames written around
// it do (a track written late: its first input frame does).
void StampRepair::start_with_other_track()
{
    OtherTrack other(m_, other_slot(slot_));
    other.move_to(SlotCursor(m_, slot_).place());
    const uint32_t lead = m_.late_track == slot_ + 1 ? m_.late_lead : 0;
    if (!other.present() || other.near(timing_.start + lead, max_step_)) return;
    shift(mov_stamp_step(timing_.start + lead, other.stamp_at()));
    ++timing_.repaired;
}

// The duration of the sample before the one stamped stamp.
uint32_t StampRepair::duration_to(uint32_t stamp)
{
    if (!run_.active()) {
        const int64_t step = mov_stamp_step(previous_, stamp);
        const bool regular = step >= 0 && step <= max_step_;
        if (regular && step <= 2 * int64_t{usual_}) {
            // Two steps alike in a row make the cadence: one stamp astray does not.
            if (step > 0 && std::llabs(step - last_step_) <= step / 8) learn_cadence(step);
            last_step_ = step;
            return static_cast<uint32_t>(step);
        }
        // A step off the cadence, even one short of a jump, may be a stamp astray.
        run_ = run_back_to_line(stamp, step);
        if (!run_.active()) {
            if (!regular && (step < 0 || !is_pause(stamp, step))) {
                ++timing_.repaired;  // the clock was set, or the stamps jumped for good
                return usual_;
            }
            if (next_steps_alike(stamp, step)) learn_cadence(step);
            return static_cast<uint32_t>(step);
        }
    }
    const uint32_t step = run_.next_step();
    if (run_.active()) ++timing_.repaired;  // a sample inside the run, put back in line
    return step;
}

// The stretch from the sample before this jump to the first sample after
// it that lies on the line the track was on before (its stamps coming
// back); none when no sample does, or when the other track, around, agrees
// with neither end (the line before may be the one astray). After a jump
// forward, a sample on both lines says that the jump is the track's cadence
// (a slow camera).
Run StampRepair::run_back_to_line(uint32_t stamp, int64_t step) const
{
    SlotCursor later = at_;
    for (uint32_t steps = 2; steps <= kRunLookahead + 1; ++steps) {
        later.next();
        if (later.done()) break;
        const bool back = on_line(previous_, later.stamp(), steps);
        if (back && step > 0 && on_line(stamp, later.stamp(), steps - 1)) break;
        if (!back) continue;
        OtherTrack around = other_;
        around.move_to(later.place());
        if (around.present() && !around.near(later.stamp(), max_step_) && !other_previous_.near(previous_, max_step_))
            break;
        return Run{static_cast<uint64_t>(mov_stamp_step(previous_, later.stamp())), steps, 0};
    }
    return Run{};
}

// Whether the step from one stamp to another fits this many samples at the
// track's cadence, give or take half of it.
bool StampRepair::on_line(uint32_t from, uint32_t to, uint32_t samples) const
{
    const int64_t step = mov_stamp_step(from, to);
    const int64_t cadence = int64_t{samples} * usual_;
    return step >= cadence / 2 && step <= cadence + cadence / 2;
}

// A jump forward is a pause when the other track, around, paused alike;
// never before the anchor, where the stamps disagree with the other track.
// With no other track around: when the track goes on regularly after the
// jump or at a cadence alike (a slow camera), or, at its end, when the jump
// is no longer than two of its usual steps; right after the first sample,
// whose stamp nothing else vouches for, only at a cadence alike.
bool StampRepair::is_pause(uint32_t stamp, int64_t step) const
{
    if (sample_ <= anchor_) return false;
    // Slots are put in line in order: slot 0 is judged by the other track's
    // stamps as they came, which vouch for themselves only by regular steps.
    const int64_t vouch = other_slot(slot_) < slot_ ? step / 2 : max_step_;
    const OtherTrack::Before before = other_previous_.before();
    if (before.held != 0 && other_.has_next()) return other_.went_on_by(before, step, max_step_, vouch);
    if (sample_ == 1) return next_steps_alike(stamp, step);
    const SlotCursor next = at_.after();
    if (next.done()) return step <= 2 * int64_t{pace()};
    const int64_t following = mov_stamp_step(stamp, next.stamp());
    return (following >= 0 && following <= max_step_) || next_steps_alike(stamp, step);
}

// Steps of up to a second set the cadence that replaces bad steps; longer
// ones (a slow camera) only the last sample's duration, so that stamps
// astray that happen to look alike cannot stretch the replacements.
void StampRepair::learn_cadence(int64_t step)
{
    if (step <= max_step_) usual_ = static_cast<uint32_t>(step);
    slow_pace_ = step <= max_step_ ? 0 : static_cast<uint32_t>(step);
}

// Whether the next two steps (those there are) are as long as this one,
// give or take an eighth: the track's cadence, not stamps astray.
bool StampRepair::next_steps_alike(uint32_t stamp, int64_t step) const
{
    if (step > kSlowestPaceSeconds * max_step_) return false;
    SlotCursor next = at_;
    for (int k = 0; k < 2; ++k) {
        next.next();
        if (next.done()) return true;
        if (std::llabs(mov_stamp_step(stamp, next.stamp()) - step) > step / 8) return false;
        stamp = next.stamp();
    }
    return true;
}

void StampRepair::shift(int64_t by)
{
    for (SlotCursor sample(m_, slot_); !sample.done(); sample.next())
        m_.table.frames[sample.index()].timestamp += static_cast<uint32_t>(by);
    timing_.start += static_cast<uint32_t>(by);
}

}  // namespace

vrc::TrackTiming vrc::mov_put_stamps_in_line(vrc_mp4_muxer_t &m, uint32_t slot)
{
    return StampRepair(m, slot).run();
}

vrc::TrackTiming vrc::mov_exact_timing(const vrc_mp4_muxer_t &m, uint32_t slot)
{
    TrackTiming timing{};
    bool first = true;
    uint32_t previous = 0, step = 0;
    for (SlotCursor sample(m, slot); !sample.done(); sample.next()) {
        if (first) timing.start = sample.stamp();
        if (!first) step = sample.stamp() - previous;
        timing.duration += step;
        previous = sample.stamp();
        first = false;
    }
    timing.last_duration = m.end_duration[slot] != 0 ? m.end_duration[slot] : step;
    timing.duration += timing.last_duration;
    return timing;
}
