// The timeline as the muxer writes it and the demuxer reads it back: one
// sample's times (beside the packet that carries its bytes, size, track and
// key flag) and one track's presentation (its edit list). Times stay in the
// track's own timescale; the movie's timescale appears only in edits.
#ifndef VRC_MP4_SAMPLE_H
#define VRC_MP4_SAMPLE_H

#include <cstdint>

namespace vrc {

// Sample descriptions a track holds at most, written or read: a recording
// whose parameter sets change (a camera switching resolution) gets one for
// each set.
constexpr uint32_t MOV_MAX_DESCRIPTIONS = 16;

// When a sample decodes and plays, in its track's units.
struct MovSampleTime {
    int64_t decode_time = 0;         // from the track's media time 0
    int32_t composition_offset = 0;  // presentation time minus decode time (B-frames)
    uint32_t duration = 0;           // 0: up to the next sample's decode time
    uint32_t description = 0;        // the sample entry (stsd) describing it, from 0
};

// One entry of an edit list: a stretch of the movie's timeline that plays
// the track's media from media_time on, or nothing (an empty edit).
struct MovEdit {
    static constexpr int64_t kEmpty = -1;
    uint64_t duration = 0;   // movie timescale
    int64_t media_time = 0;  // track units; kEmpty: nothing plays
};

// How a track plays on the movie's timeline: its edits in order. No edit
// means the whole media from its start, from movie time 0.
struct MovPresentation {
    static constexpr uint32_t kMaxEdits = 16;
    uint32_t movie_timescale = 0;  // of the durations
    uint32_t count = 0;
    MovEdit edits[kMaxEdits];

    // Movie time before the first media plays (the empty edits in front).
    uint64_t leading_empty() const
    {
        uint64_t empty = 0;
        for (uint32_t i = 0; i < count && edits[i].media_time == MovEdit::kEmpty; ++i) empty += edits[i].duration;
        return empty;
    }
    // The first edit that plays media; null when none does.
    const MovEdit *first_media() const
    {
        for (uint32_t i = 0; i < count; ++i)
            if (edits[i].media_time != MovEdit::kEmpty) return &edits[i];
        return nullptr;
    }
};

}  // namespace vrc

#endif
