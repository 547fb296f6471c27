// The tail of a recording MP4: zero fill of a pre-sized mdat, the sizing of
// every moov box in advance, moov with its sample tables, the mdat size patch.
//
// The sample tables are not kept per track: every table is read off the
// frame table as it is written, by the same walkers the sizing counts with,
// so that sizes and contents cannot drift apart.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "vrc_codec.h"
#include "vrc_debug.h"
#include "vrc_mp4_box_writer.h"
#include "vrc_mp4_h264.h"
#include "vrc_mp4_muxer_internal.h"
#include "vrc_output.h"
#include "vrc_time.h"

namespace {

using vrc::BoxScope;
using vrc::BoxWriter;
using vrc::mov_fourcc;
using vrc::mov_unixtime2mactime;
using vrc::mov_trak_size_t;

constexpr uint32_t kMvhdSize = 108;
constexpr uint32_t kTkhdSize = 92;
constexpr uint32_t kMdhdSize = 32;
// Version 1 of mvhd, tkhd and mdhd: both times and the duration take 64 bits.
constexpr uint32_t kWideHeaderExtra = 12;
constexpr uint32_t kHdlrSize = 44;
constexpr uint32_t kVmhdSize = 20;
constexpr uint32_t kSmhdSize = 16;
constexpr uint32_t kDrefSize = 28;
constexpr uint32_t kUrlSize = 12;
constexpr uint32_t kStsdHeaderSize = MOV_BOX_ATOM_SIZE + vrc::MOV_STSD_FIXED_SIZE;
constexpr uint32_t kFullBoxHeaderSize = 16;    // header, version and flags, entry count
constexpr uint32_t kStszHeaderSize = 20;       // ... and the common sample size
constexpr uint32_t kElstEntrySize = 12;        // segment duration, media time, rate
constexpr uint32_t kWideElstEntrySize = 20;    // the same with 64-bit duration and media time
constexpr uint32_t kMediaRateOne = 0x00010000; // 1.0, 16.16
constexpr uint32_t kNextTrackId = 3;
constexpr uint32_t kUnityMatrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};

// A value past 32 bits: its box takes version 1, its 64-bit fields.
bool wide(uint64_t value) { return value > vrc::MOV_MAX_FILE_OFFSET; }

// Slots that moov describes: 0 as video, 1 as audio.
uint32_t moov_slot_count(const vrc_mp4_muxer_t &m)
{
    return m.nr_tracks < vrc::MOV_MOOV_TRACKS ? m.nr_tracks : vrc::MOV_MOOV_TRACKS;
}

// ---- walks over the frame table -----------------------------------------

// Calls visit(frame, offset) for each frame of a slot, in write order, with
// the file offset of its sample (behind its private records).
template <class Visit>
void for_each_sample(const vrc_mp4_muxer_t &m, uint32_t slot, Visit &&visit)
{
    uint64_t offset = uint64_t{m.mdat_offset} + MOV_BOX_ATOM_SIZE;
    for (uint32_t i = 0; i < m.nr_frames; ++i) {
        const mov_frame_info_t &f = m.table.frames[i];
        offset += vrc::mov_private_bytes(m, f.key_frame, f.track_id);
        if (f.track_id == slot) visit(f, offset);
        offset += f.size;
    }
}

// Calls visit(duration) for each sample of a slot in order: the time to the
// next sample of the slot, from the stamps the tail put in line; the last
// sample lasts the track's usual step.
template <class Visit>
void for_each_sample_duration(const vrc_mp4_muxer_t &m, uint32_t slot, Visit &&visit)
{
    bool first = true;
    uint32_t previous = 0;
    for_each_sample(m, slot, [&](const mov_frame_info_t &f, uint64_t) {
        if (!first) visit(f.timestamp - previous);
        first = false;
        previous = f.timestamp;
    });
    if (!first) visit(m.moov.trak[slot].last_duration);
}

// Calls emit(count, duration) for each run of equal sample durations of a
// slot, the runs of its stts table.
template <class Emit>
void for_each_duration_run(const vrc_mp4_muxer_t &m, uint32_t slot, Emit &&emit)
{
    uint32_t run_count = 0;
    uint32_t run_duration = 0;
    for_each_sample_duration(m, slot, [&](uint32_t duration) {
        if (run_count != 0 && duration == run_duration) {
            ++run_count;
            return;
        }
        if (run_count != 0) emit(run_count, run_duration);
        run_count = 1;
        run_duration = duration;
    });
    if (run_count != 0) emit(run_count, run_duration);
}

// Calls visit(number) with the 1-based sample number of each key frame.
template <class Visit>
void for_each_key_sample(const vrc_mp4_muxer_t &m, uint32_t slot, Visit &&visit)
{
    uint32_t number = 0;
    for_each_sample(m, slot, [&](const mov_frame_info_t &f, uint64_t) {
        ++number;
        if (f.key_frame) visit(number);
    });
}

// The frame's place in the frame table, where its per-frame values are.
uint32_t frame_index(const vrc_mp4_muxer_t &m, const mov_frame_info_t &f)
{
    return static_cast<uint32_t>(&f - m.table.frames);
}

// Calls emit(count, value) for each run of equal values of a slot's
// samples, value(frame index) giving each sample's.
template <class Value, class Emit>
void for_each_run(const vrc_mp4_muxer_t &m, uint32_t slot, Value &&value, Emit &&emit)
{
    uint32_t run_count = 0;
    int64_t run_value = 0;
    for_each_sample(m, slot, [&](const mov_frame_info_t &f, uint64_t) {
        const int64_t v = value(frame_index(m, f));
        if (run_count != 0 && v == run_value) {
            ++run_count;
            return;
        }
        if (run_count != 0) emit(run_count, run_value);
        run_count = 1;
        run_value = v;
    });
    if (run_count != 0) emit(run_count, run_value);
}

// The runs of the ctts table: samples alike in their composition offset.
template <class Emit>
void for_each_composition_run(const vrc_mp4_muxer_t &m, uint32_t slot, Emit &&emit)
{
    for_each_run(m, slot, [&](uint32_t i) { return int64_t{m.table.composition[i]}; }, emit);
}

// The runs of the stsc table: every sample is a chunk, so a run of samples
// under one description is a run of chunks.
template <class Emit>
void for_each_description_run(const vrc_mp4_muxer_t &m, uint32_t slot, Emit &&emit)
{
    for_each_run(m, slot, [&](uint32_t i) { return int64_t{m.table.description_of[i]}; }, emit);
}

// Sample descriptions of a slot: the video track's parameter sets, else one.
uint32_t description_count(const vrc_mp4_muxer_t &m, uint32_t slot)
{
    return slot == 0 && m.nr_descriptions > 1 ? m.nr_descriptions : 1;
}

// ---- sizing -------------------------------------------------------------

// Track start times, durations and counts from the frame table; the sizes
// below and the headers written afterwards use these values.
void vrc_mp4_muxer_count_samples(vrc_mp4_muxer_t &m)
{
    uint32_t n[VRC_MUXER_MAX_TRACKS] = {};
    for (uint32_t i = 0; i < m.nr_frames; ++i) {
        const mov_frame_info_t &f = m.table.frames[i];
        const uint32_t t = f.track_id;
        if (t >= m.nr_tracks) continue;
        mov_trak_size_t &s = m.moov.trak[t];
        s.stss_entries += f.key_frame;
        s.samples_per_chunk = 1;  // every sample is a chunk of its own
        s.nr_chunks = n[t] + 1;
        m.nr_avframes[t] = ++n[t];
    }
    for (uint32_t t = 0; t < m.nr_tracks; ++t) {
        if (n[t] == 0) continue;
        const vrc::TrackTiming timing =
            m.exact_times[t] ? vrc::mov_exact_timing(m, t) : vrc::mov_put_stamps_in_line(m, t);
        m.tracks[t].start_time = timing.start;
        m.media_duration[t] = timing.duration;
        m.tracks[t].duration = static_cast<uint32_t>(std::min<uint64_t>(timing.duration, UINT32_MAX));
        m.moov.trak[t].last_duration = timing.last_duration;
        m.steps_repaired[t] = timing.repaired;
        if (timing.repaired != 0)
            vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__,
                        "track %d: %u timestamps going backwards or jumping ahead repaired\n", t, timing.repaired);
    }
    vrc_log_msg(VRC_LOG_DEBUG, __FILE__, __LINE__, "duration: %d, %d, %d, timescale %d\n", m.tracks[0].duration,
                m.tracks[1].duration, m.tracks[2].duration, m.tracks[0].timescale);
}

// A track time in the movie's timescale.
int64_t movie_time(int64_t track_time, uint32_t track_timescale, uint32_t movie_timescale)
{
    if (track_timescale == 0 || track_timescale == movie_timescale) return track_time;
    return track_time * movie_timescale / track_timescale;
}

// When a track's presentation begins, in movie time from the stamp origin:
// its first sample's stamp, past the media it skips. Stamps wrap at 2^32:
// they are compared by their step from the origin, so tracks starting on
// both sides of a wrap stay close. Tracks in units of their own count
// their stamps from one common zero, which is then the origin.
//
// Rounded to the nearest movie unit: tracks placed from the same calendar
// millisecond in timescales that cannot both hold it (128 ms is 1638.4
// units of 12800) must not come a unit apart as an empty edit.
int64_t presentation_start(const vrc_mp4_muxer_t &m, uint32_t t, uint32_t origin, uint32_t movie_timescale)
{
    const vrc_track_info_t &track = m.tracks[t];
    const int64_t start = vrc::mov_stamp_step(origin, track.start_time) + int64_t{m.media_skip[t]};
    if (track.timescale == 0 || track.timescale == movie_timescale) return start;
    const int64_t scaled = start * movie_timescale, half = track.timescale / 2;
    return scaled >= 0 ? (scaled + half) / track.timescale : -((half - scaled) / track.timescale);
}

// Where the track's media stops playing, in track units from its first
// decode time: past its last sample, or past a sample that plays late
// (B-frames) and ends later.
int64_t media_end(const vrc_mp4_muxer_t &m, uint32_t t)
{
    const auto duration = static_cast<int64_t>(m.media_duration[t]);
    if (!m.has_composition[t]) return duration;
    int64_t end = duration, at = 0;
    const mov_frame_info_t *previous = nullptr;
    for_each_sample(m, t, [&](const mov_frame_info_t &f, uint64_t) {
        if (previous) {
            at += f.timestamp - previous->timestamp;  // the previous sample ends here
            end = std::max(end, at + m.table.composition[frame_index(m, *previous)]);
        }
        previous = &f;
    });
    if (previous) end = std::max(end, duration + m.table.composition[frame_index(m, *previous)]);
    return end;
}

// A track that starts after the earliest one is preceded by an empty edit of
// the difference, so that players keep the offset between the tracks; one
// that skips media, or plays shorter than its media, gets an edit of what
// plays.
void vrc_mp4_muxer_calc_edits(vrc_mp4_muxer_t &m, uint32_t movie_timescale)
{
    int64_t earliest = INT64_MAX;
    uint32_t origin = 0;
    bool one_timescale = true;
    for (uint32_t t = moov_slot_count(m); t-- > 0;) {
        if (m.nr_avframes[t] == 0) continue;
        one_timescale = one_timescale && m.tracks[t].timescale == m.tracks[0].timescale;
        origin = m.tracks[t].start_time;
    }
    if (!one_timescale) origin = 0;
    for (uint32_t t = 0; t < moov_slot_count(m); ++t)
        if (m.nr_avframes[t] != 0) earliest = std::min(earliest, presentation_start(m, t, origin, movie_timescale));
    for (uint32_t t = 0; t < moov_slot_count(m); ++t) {
        mov_trak_size_t &s = m.moov.trak[t];
        if (m.nr_avframes[t] == 0) continue;
        const int64_t offset = presentation_start(m, t, origin, movie_timescale) - earliest;
        s.empty_edit = static_cast<uint64_t>(offset);
        const int64_t media = movie_time(media_end(m, t), m.tracks[t].timescale, movie_timescale) -
                              movie_time(m.media_skip[t], m.tracks[t].timescale, movie_timescale);
        int64_t plays = std::max<int64_t>(media, 0);
        if (m.media_length[t] != 0)
            plays = std::min(plays, movie_time(m.media_length[t], m.tracks[t].timescale, movie_timescale));
        if (m.play_length != 0) plays = std::min<int64_t>(plays, movie_time(m.play_length, 1000, movie_timescale) - offset);
        s.media_edit = static_cast<uint64_t>(std::max<int64_t>(plays, 0));
        if (offset == 0 && m.media_skip[t] == 0 && plays == media) continue;
        const uint32_t entry_size = wide(s.empty_edit) || wide(s.media_edit) ? kWideElstEntrySize : kElstEntrySize;
        s.elst_size = kFullBoxHeaderSize + entry_size * (s.empty_edit != 0 ? 2 : 1);
        s.edts_size = MOV_BOX_ATOM_SIZE + s.elst_size;
    }
}

// What the track lasts in the movie: its empty edit and its media.
uint64_t track_presentation_duration(const vrc_mp4_muxer_t &m, uint32_t t)
{
    return m.moov.trak[t].empty_edit + m.moov.trak[t].media_edit;
}

// The sample entries of a slot, by its codec's row: the video track's one
// for each description.
template <class Visit>
void for_each_description(const vrc_mp4_muxer_t &m, uint32_t t, Visit &&visit)
{
    const vrc::CodecRow *codec = vrc::codec_by_id(m.tracks[t].codec_id);
    if (!codec) codec = &vrc::kCodecG711u;  // sound of any other codec is described as mu-law
    if (description_count(m, t) == 1) {
        const mov_param_sets_t sets = vrc::mov_param_sets_of(m.tracks[t]);
        const bool sound = t != 0;
        visit(*codec, vrc::CodecConfig{m.tracks[t], sets, sound ? m.audio_config : nullptr,
                                       sound ? m.audio_config_size : 0});
        return;
    }
    for (uint32_t d = 0; d < m.nr_descriptions; ++d) visit(*codec, vrc::CodecConfig{m.tracks[t], m.descriptions[d]});
}

uint32_t vrc_mp4_muxer_calc_sample_entry(const vrc_mp4_muxer_t &m, uint32_t t)
{
    uint32_t entries = 0;
    for_each_description(m, t, [&](const vrc::CodecRow &codec, const vrc::CodecConfig &config) {
        entries += codec.entry_size(config);
    });
    return entries;
}

// The video track's sizes, once they are final. Hosts match these lines:
// keep the wording.
void report_video_sizes(const vrc_mp4_muxer_t &m)
{
    if (m.nr_avframes[0] == 0) return;
    vrc::out_printf("MOV_BOX_ATOM_SIZE size is %ld\n", static_cast<long>(MOV_BOX_ATOM_SIZE));
    vrc::out_printf("mov_box_video_sample_t size is %ld\n", static_cast<long>(vrc::MOV_VIDEO_SAMPLE_FIXED_SIZE));
    vrc::out_printf("trak[%d] avc1 test === %ld\n", 0,
                    static_cast<long>(MOV_BOX_ATOM_SIZE + vrc::MOV_VIDEO_SAMPLE_FIXED_SIZE));
    vrc::out_printf("trak[%d] avc1 test === %ld\n", 0, static_cast<long>(vrc_mp4_muxer_calc_sample_entry(m, 0)));
    vrc::out_printf("trak[%d] size test === %ld\n", 0, static_cast<long>(m.moov.trak[0].trak_size));
}

uint32_t count_duration_runs(const vrc_mp4_muxer_t &m, uint32_t t)
{
    uint32_t runs = 0;
    for_each_duration_run(m, t, [&](uint32_t, uint32_t) { ++runs; });
    return runs;
}

void vrc_mp4_muxer_calc_trak(const vrc_mp4_muxer_t &m, uint32_t t, mov_trak_size_t &s)
{
    s.tkhd_size = kTkhdSize + (wide(track_presentation_duration(m, t)) ? kWideHeaderExtra : 0);
    s.trak_size = MOV_BOX_ATOM_SIZE + s.tkhd_size + s.edts_size;
    s.mdhd_size = kMdhdSize + (wide(m.media_duration[t]) ? kWideHeaderExtra : 0);
    s.mdia_size = MOV_BOX_ATOM_SIZE + s.mdhd_size;
    s.hdlr_size = kHdlrSize;
    s.mdia_size += s.hdlr_size;
    s.minf_size = MOV_BOX_ATOM_SIZE;
    if (t == 0) {
        s.vmhd_size = kVmhdSize;
        s.minf_size += s.vmhd_size;
    } else {
        s.smhd_size = kSmhdSize;
        s.minf_size += s.smhd_size;
    }
    s.dref_size = kDrefSize;
    s.dinf_size = MOV_BOX_ATOM_SIZE + s.dref_size;
    s.minf_size += s.dinf_size;
    s.stbl_size = MOV_BOX_ATOM_SIZE;
    s.stsd_size = kStsdHeaderSize + vrc_mp4_muxer_calc_sample_entry(m, t);
    s.stbl_size += s.stsd_size;
    s.stts_entries = count_duration_runs(m, t);
    s.stts_size = kFullBoxHeaderSize + 8 * s.stts_entries;
    s.stbl_size += s.stts_size;
    if (m.has_composition[t]) {
        s.ctts_entries = 0;
        for_each_composition_run(m, t, [&](uint32_t, int64_t offset) {
            ++s.ctts_entries;
            if (offset < 0) s.ctts_version = 1;
        });
        s.ctts_size = kFullBoxHeaderSize + 8 * s.ctts_entries;
        s.stbl_size += s.ctts_size;
    }
    if (t == 0) {  // every audio sample is a sync sample: no table says otherwise
        s.stss_size = kFullBoxHeaderSize + 4 * s.stss_entries;
        s.stbl_size += s.stss_size;
    }
    s.stsc_entries = 0;  // every chunk holds one sample: a run per description
    for_each_description_run(m, t, [&](uint32_t, int64_t) { ++s.stsc_entries; });
    s.stsc_size = kFullBoxHeaderSize + 12 * s.stsc_entries;
    s.stbl_size += s.stsc_size;
    s.stsz_size = kStszHeaderSize + 4 * m.nr_avframes[t];
    s.stbl_size += s.stsz_size;
    s.stco_size = kFullBoxHeaderSize + (m.moov.wide_offsets ? 8 : 4) * s.nr_chunks;
    s.stbl_size += s.stco_size;
    s.minf_size += s.stbl_size;
    s.mdia_size += s.minf_size;
    s.trak_size += s.mdia_size;
}

// Sizes mvhd, every trak and moov from the counts and times worked out.
void vrc_mp4_muxer_calc_moov(vrc_mp4_muxer_t &m, uint64_t movie_duration)
{
    m.moov.mvhd_size = kMvhdSize + (wide(movie_duration) ? kWideHeaderExtra : 0);
    m.moov.moov_size = MOV_BOX_ATOM_SIZE + m.moov.mvhd_size;
    for (uint32_t t = 0; t < moov_slot_count(m); ++t) {
        if (m.nr_avframes[t] != 0) vrc_mp4_muxer_calc_trak(m, t, m.moov.trak[t]);
        m.moov.moov_size += m.moov.trak[t].trak_size;
    }
}

// The chunk offset of the file's last sample, the largest one: behind
// mdat's header, and behind moov as well when moov goes in front.
uint64_t last_chunk_offset(const vrc_mp4_muxer_t &m)
{
    if (m.nr_frames == 0) return 0;
    const uint64_t room = m.faststart ? vrc::mov_moov_room(m) : 0;
    return m.mdat_offset + room + m.mdat_size - m.table.frames[m.nr_frames - 1].size;
}

// ---- moov ---------------------------------------------------------------

struct MovieValues {
    uint32_t creation_time;
    uint32_t timescale;
    uint64_t duration;
};

// Times and timescale of the longer of slots 0 and 1 by the running
// durations of the packet writer (an audio track's includes the 40 ms in
// front of its first packet); slot 0 on a tie. The duration is known once
// the tracks are sized.
MovieValues vrc_mp4_muxer_movie_values(const vrc_mp4_muxer_t &m)
{
    const uint32_t slot = m.nr_tracks > 1 && m.tracks[1].duration > m.tracks[0].duration ? 1 : 0;
    const vrc_track_info_t &track = m.tracks[slot];
    return {track.creation_time, track.timescale, 0};
}

// The movie lasts until its last track ends.
uint64_t movie_duration(const vrc_mp4_muxer_t &m)
{
    uint64_t duration = 0;
    for (uint32_t t = 0; t < moov_slot_count(m); ++t)
        if (m.nr_avframes[t] != 0) duration = std::max(duration, track_presentation_duration(m, t));
    return duration;
}

struct PictureSize {
    uint32_t width;
    uint32_t height;
};

// The video track's picture size is the one its SPS declares when the SPS
// parses; the caller's declaration otherwise.
PictureSize track_picture_size(const vrc_mp4_muxer_t &m, uint32_t t)
{
    const vrc_track_info_t &track = m.tracks[t];
    PictureSize size{track.width, track.height};
    if (t == 0) vrc::h264_sps_picture_size(track.seq_params, track.seq_params_len, &size.width, &size.height);
    return size;
}

void write_unity_matrix(BoxWriter &w)
{
    for (uint32_t value : kUnityMatrix) w.u32(value);
}

// A time or duration of a header box: 64 bits in version 1.
void write_time(BoxWriter &w, bool v1, uint64_t value)
{
    if (v1)
        w.u64(value);
    else
        w.u32(static_cast<uint32_t>(value));
}

void vrc_mp4_write_mvhd(BoxWriter &w, const vrc_mp4_muxer_t &m, const MovieValues &movie)
{
    BoxScope box(w, mov_fourcc("mvhd"), m.moov.mvhd_size);
    const bool v1 = wide(movie.duration);
    w.u32(v1 ? 1u << 24 : 0);                          // version, flags 0
    write_time(w, v1, mov_unixtime2mactime(movie.creation_time));  // creation time
    write_time(w, v1, mov_unixtime2mactime(movie.creation_time));  // modification time
    w.u32(movie.timescale);                            // timescale
    write_time(w, v1, movie.duration);                 // duration
    w.u32(0x00010000);                                 // rate 1.0
    w.u16(0x0100);                                     // volume 1.0
    w.zeros(10);                                       // reserved
    write_unity_matrix(w);                             // matrix
    w.zeros(24);                                       // pre-defined
    w.u32(kNextTrackId);                               // next track ID
}

void vrc_mp4_write_tkhd(BoxWriter &w, const vrc_mp4_muxer_t &m, uint32_t t)
{
    const vrc_track_info_t &track = m.tracks[t];
    const PictureSize picture = track_picture_size(m, t);
    BoxScope box(w, mov_fourcc("tkhd"), m.moov.trak[t].tkhd_size);
    const uint64_t duration = track_presentation_duration(m, t);
    const bool v1 = wide(duration);
    w.u32((v1 ? 1u << 24 : 0) | 3);                        // version, flags enabled and in movie
    write_time(w, v1, mov_unixtime2mactime(track.creation_time));      // creation time
    write_time(w, v1, mov_unixtime2mactime(track.modification_time));  // modification time
    w.u32(t + 1);                                          // track ID
    w.u32(0);                                              // reserved
    write_time(w, v1, duration);                           // duration, movie timescale
    w.zeros(8);                                            // reserved
    w.u16(0);                                              // layer
    w.u16(0);                                              // alternate group
    w.u16(t != 0 ? 0x0100 : 0);                            // volume: audio 1.0
    w.u16(0);                                              // reserved
    write_unity_matrix(w);                                 // matrix
    w.u32(picture.width << 16);                            // width, 16.16
    w.u32(picture.height << 16);                           // height, 16.16
}

void vrc_mp4_write_mdhd(BoxWriter &w, const vrc_mp4_muxer_t &m, uint32_t t)
{
    const vrc_track_info_t &track = m.tracks[t];
    BoxScope box(w, mov_fourcc("mdhd"), m.moov.trak[t].mdhd_size);
    const bool v1 = wide(m.media_duration[t]);
    w.u32(v1 ? 1u << 24 : 0);                              // version, flags 0
    write_time(w, v1, mov_unixtime2mactime(track.creation_time));      // creation time
    write_time(w, v1, mov_unixtime2mactime(track.modification_time));  // modification time
    w.u32(track.timescale);                                // timescale
    write_time(w, v1, m.media_duration[t]);                // duration
    w.u16(0);                                              // language
    w.u16(0);                                              // pre-defined
}

void vrc_mp4_write_hdlr(BoxWriter &w, const vrc_mp4_muxer_t &m, uint32_t t)
{
    static const uint8_t kVideoName[12] = {'V', 'i', 'd', 'e', 'o', 'H', 'a', 'n', 'd', 'l', 'e', 'r'};
    static const uint8_t kSoundName[12] = {'S', 'o', 'u', 'n', 'd', 'H', 'a', 'n', 'd', 'l', 'e', 'r'};
    BoxScope box(w, mov_fourcc("hdlr"), m.moov.trak[t].hdlr_size);
    w.u32(0);                                                     // version 0, flags 0
    w.u32(0);                                                     // pre-defined
    w.type(t == 0 ? mov_fourcc("vide") : mov_fourcc("soun"));     // handler type
    w.zeros(12);                                                  // reserved
    w.bytes(t == 0 ? kVideoName : kSoundName, sizeof kVideoName);  // name, no terminating zero
}

void vrc_mp4_write_vmhd(BoxWriter &w, const mov_trak_size_t &s)
{
    BoxScope box(w, mov_fourcc("vmhd"), s.vmhd_size);
    w.u32(1);    // version 0, flags 1
    w.zeros(8);  // graphics mode, opcolor
}

void vrc_mp4_write_smhd(BoxWriter &w, const mov_trak_size_t &s)
{
    BoxScope box(w, mov_fourcc("smhd"), s.smhd_size);
    w.u32(0);  // version 0, flags 0
    w.u32(0);  // balance, reserved
}

void vrc_mp4_write_dinf(BoxWriter &w, const mov_trak_size_t &s)
{
    BoxScope dinf(w, mov_fourcc("dinf"), s.dinf_size);
    BoxScope dref(w, mov_fourcc("dref"), s.dref_size);
    w.u32(0);  // version 0, flags 0
    w.u32(1);  // entry count
    BoxScope url(w, mov_fourcc("url "), kUrlSize);
    w.u32(1);  // flags 1: the media is in this file
}

// ---- sample description and sample tables -------------------------------

void vrc_mp4_write_stsd(BoxWriter &w, const vrc_mp4_muxer_t &m, uint32_t t, const mov_trak_size_t &s)
{
    const vrc_track_info_t &track = m.tracks[t];
    BoxScope box(w, mov_fourcc("stsd"), s.stsd_size);
    w.u32(0);                          // version 0, flags 0
    w.u32(description_count(m, t));    // entry count
    if (t != 0)
        vrc_log_msg(VRC_LOG_DEBUG, __FILE__, __LINE__, "j %d channel %d, bitwidth %d, sample_rate %d\n", t,
                    track.channels, track.bitwidth, track.sample_rate);
    for_each_description(m, t, [&](const vrc::CodecRow &codec, const vrc::CodecConfig &config) {
        codec.write_entry(w, config);  // sample entry
    });
}

void vrc_mp4_write_stts(BoxWriter &w, const vrc_mp4_muxer_t &m, uint32_t t, const mov_trak_size_t &s)
{
    BoxScope box(w, mov_fourcc("stts"), s.stts_size);
    w.u32(0);               // version 0, flags 0
    w.u32(s.stts_entries);  // entry count
    if (m.nr_avframes[t] != 0)
        vrc_log_msg(VRC_LOG_DEBUG, __FILE__, __LINE__, "track[%d] stts nr_avframes=%d\n", t, m.nr_avframes[t]);
    for_each_duration_run(m, t, [&](uint32_t count, uint32_t duration) {
        w.u32(count);     // sample count
        w.u32(duration);  // sample delta
    });
}

// Only the video track has one: every audio sample is a sync sample.
void vrc_mp4_write_stss(BoxWriter &w, const vrc_mp4_muxer_t &m, uint32_t t, const mov_trak_size_t &s)
{
    if (s.stss_size == 0) return;
    BoxScope box(w, mov_fourcc("stss"), s.stss_size);
    w.u32(0);               // version 0, flags 0
    w.u32(s.stss_entries);  // entry count
    for_each_key_sample(m, t, [&](uint32_t number) { w.u32(number); });  // sample number
}

void vrc_mp4_write_stsc(BoxWriter &w, const vrc_mp4_muxer_t &m, uint32_t t, const mov_trak_size_t &s)
{
    BoxScope box(w, mov_fourcc("stsc"), s.stsc_size);
    w.u32(0);               // version 0, flags 0
    w.u32(s.stsc_entries);  // entry count
    if (s.nr_chunks == 0) return;
    vrc_log_msg(VRC_LOG_DEBUG, __FILE__, __LINE__, "track[%d] stsc nr_chunks=%d\n", t, s.nr_chunks);
    uint32_t first_chunk = 1;
    for_each_description_run(m, t, [&](uint32_t chunks, int64_t description) {
        w.u32(first_chunk);                                // first chunk
        w.u32(s.samples_per_chunk);                        // samples per chunk
        w.u32(static_cast<uint32_t>(description) + 1);     // sample description index
        first_chunk += chunks;
    });
}

// Only where a sample plays off its decode time (B-frames); version 1 when
// an offset is negative.
void vrc_mp4_write_ctts(BoxWriter &w, const vrc_mp4_muxer_t &m, uint32_t t, const mov_trak_size_t &s)
{
    if (s.ctts_size == 0) return;
    BoxScope box(w, mov_fourcc("ctts"), s.ctts_size);
    w.u32(s.ctts_version << 24);  // version, flags 0
    w.u32(s.ctts_entries);        // entry count
    for_each_composition_run(m, t, [&](uint32_t count, int64_t offset) {
        w.u32(count);                                                   // sample count
        w.u32(static_cast<uint32_t>(static_cast<int32_t>(offset)));    // sample offset
    });
}

void vrc_mp4_write_stsz(BoxWriter &w, const vrc_mp4_muxer_t &m, uint32_t t, const mov_trak_size_t &s)
{
    BoxScope box(w, mov_fourcc("stsz"), s.stsz_size);
    w.u32(0);                 // version 0, flags 0
    w.u32(0);                 // sample size: sizes vary
    w.u32(m.nr_avframes[t]);  // sample count
    for_each_sample(m, t, [&](const mov_frame_info_t &f, uint64_t) { w.u32(f.size); });  // entry size
}

// One sample per chunk: the chunk offsets are the sample offsets, 64 bits
// wide (co64) when a sample lies past 4 GiB.
void vrc_mp4_write_stco(BoxWriter &w, const vrc_mp4_muxer_t &m, uint32_t t, const mov_trak_size_t &s)
{
    const bool wide_offsets = m.moov.wide_offsets != 0;
    BoxScope box(w, mov_fourcc(wide_offsets ? "co64" : "stco"), s.stco_size);
    w.u32(0);            // version 0, flags 0
    w.u32(s.nr_chunks);  // entry count
    for_each_sample(m, t, [&](const mov_frame_info_t &, uint64_t offset) {
        write_time(w, wide_offsets, offset);  // chunk offset
    });
}

void vrc_mp4_write_stbl(BoxWriter &w, const vrc_mp4_muxer_t &m, uint32_t t)
{
    const mov_trak_size_t &s = m.moov.trak[t];
    BoxScope box(w, mov_fourcc("stbl"), s.stbl_size);
    vrc_mp4_write_stsd(w, m, t, s);
    vrc_mp4_write_stts(w, m, t, s);
    vrc_mp4_write_ctts(w, m, t, s);
    vrc_mp4_write_stss(w, m, t, s);
    vrc_mp4_write_stsc(w, m, t, s);
    vrc_mp4_write_stsz(w, m, t, s);
    vrc_mp4_write_stco(w, m, t, s);
}

void vrc_mp4_write_mdia(BoxWriter &w, const vrc_mp4_muxer_t &m, uint32_t t)
{
    const mov_trak_size_t &s = m.moov.trak[t];
    BoxScope mdia(w, mov_fourcc("mdia"), s.mdia_size);
    vrc_mp4_write_mdhd(w, m, t);
    vrc_mp4_write_hdlr(w, m, t);
    BoxScope minf(w, mov_fourcc("minf"), s.minf_size);
    if (t == 0)
        vrc_mp4_write_vmhd(w, s);
    else
        vrc_mp4_write_smhd(w, s);
    vrc_mp4_write_dinf(w, s);
    vrc_mp4_write_stbl(w, m, t);
}

// A track that starts later than the movie: nothing plays for its empty
// edit; then its media from the time it skips.
void vrc_mp4_write_edts(BoxWriter &w, const vrc_mp4_muxer_t &m, uint32_t t)
{
    const mov_trak_size_t &s = m.moov.trak[t];
    if (s.edts_size == 0) return;
    BoxScope edts(w, mov_fourcc("edts"), s.edts_size);
    BoxScope elst(w, mov_fourcc("elst"), s.elst_size);
    const bool v1 = wide(s.empty_edit) || wide(s.media_edit);
    w.u32(v1 ? 1u << 24 : 0);  // version, flags 0
    w.u32(s.empty_edit != 0 ? 2 : 1);  // entry count
    if (s.empty_edit != 0) {
        write_time(w, v1, s.empty_edit);  // segment duration: the empty edit
        write_time(w, v1, v1 ? UINT64_MAX : 0xFFFFFFFFu);  // media time -1: nothing plays
        w.u32(kMediaRateOne);  // media rate
    }
    write_time(w, v1, s.media_edit);     // segment duration: the media
    write_time(w, v1, m.media_skip[t]);  // media time where it begins
    w.u32(kMediaRateOne);      // media rate
}

void vrc_mp4_write_track(BoxWriter &w, const vrc_mp4_muxer_t &m)
{
    for (uint32_t t = 0; t < moov_slot_count(m); ++t) {
        if (m.nr_avframes[t] == 0) continue;
        BoxScope trak(w, mov_fourcc("trak"), m.moov.trak[t].trak_size, static_cast<int>(t));
        vrc_mp4_write_tkhd(w, m, t);
        vrc_mp4_write_edts(w, m, t);
        vrc_mp4_write_mdia(w, m, t);
    }
}

// ---- the tail around moov -----------------------------------------------

int first_failure(const vrc_mp4_muxer_t &m, int rc) { return m.pb->error != 0 ? m.pb->error : rc; }

// Pads a pre-sized mdat with zero bytes to its full length.
int vrc_mp4_muxer_fill_mdat(vrc_mp4_muxer_t &m)
{
    if (m.mdat_size_fixed == 0) return 0;
    // The space check keeps mdat_size within the fixed size.
    const uint32_t n = m.mdat_size_fixed - m.mdat_size;
    vrc_log_msg(VRC_LOG_DEBUG, __FILE__, __LINE__, "write more %d\n", n);
    const int64_t start = vrc_clock_monotonic_get();
    const int rc = vrc_uri_io_file_append_bytes(m.pb, 0, static_cast<int>(n));
    vrc_log_msg(VRC_LOG_DEBUG, __FILE__, __LINE__, "write more cost %lld\n",
                static_cast<long long>(vrc_clock_monotonic_get() - start));
    return rc != 0 ? first_failure(m, rc) : 0;
}

int vrc_mp4_muxer_write_moov(vrc_mp4_muxer_t &m)
{
    MovieValues movie = vrc_mp4_muxer_movie_values(m);
    m.moov = vrc::mov_moov_size_t{};
    vrc_mp4_muxer_count_samples(m);
    vrc_mp4_muxer_calc_edits(m, movie.timescale);
    movie.duration = movie_duration(m);
    vrc_mp4_muxer_calc_moov(m, movie.duration);
    // co64 is larger than stco: in front of mdat it only moves the samples further.
    if (wide(last_chunk_offset(m))) {
        m.moov.wide_offsets = 1;
        vrc_mp4_muxer_calc_moov(m, movie.duration);
    }
    report_video_sizes(m);
    vrc::out_printf("moov_size's size is %ld\n", static_cast<long>(m.moov.moov_size));
    if (m.faststart) {
        const int moved = vrc::mov_make_room_for_moov(m);
        if (moved != 0) return moved;
    }

    BoxWriter w(m.pb);
    {
        BoxScope moov(w, mov_fourcc("moov"), m.moov.moov_size);
        vrc_mp4_write_mvhd(w, m, movie);
        vrc_mp4_write_track(w, m);
    }
    return w.result();
}

// Without pre-sizing the mdat header still reads size 0: write the true
// size, as a 16-byte header 8 bytes earlier when it needs 64 bits.
int vrc_mp4_muxer_patch_mdat_size(vrc_mp4_muxer_t &m)
{
    if (m.mdat_size_fixed != 0) return 0;
    const bool large = vrc::mov_mdat_is_large(m);
    const int64_t at = int64_t{m.mdat_offset} - (large ? 8 : 0);
    if (vrc_uri_io_file_seek(m.pb, at, SEEK_SET) != at) return -1;
    BoxWriter w(m.pb);
    if (!large) {
        w.u32(static_cast<uint32_t>(m.mdat_size));  // mdat size
        return w.result();
    }
    w.u32(1);                    // size 1: the size follows in 64 bits
    w.type(mov_fourcc("mdat"));  // type
    w.u64(m.mdat_size + 8);      // size, the 16-byte header included
    return w.result();
}

}  // namespace

// Every step's failure is returned, the final flush included: a file that
// did not reach the disk whole is never reported as written.
extern "C" VRC_API int vrc_mp4_muxer_write_tailer(vrc_mp4_muxer_t *muxer)
{
    if (!muxer) return -1;
    vrc_mp4_muxer_t &m = *muxer;
    if (m.pb->error != 0) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "Lower Layer IO error! muxer->pb->error:%d\n", m.pb->error);
        return m.pb->error;
    }
    int rc = vrc_mp4_muxer_fill_mdat(m);
    if (rc == 0) rc = vrc_mp4_muxer_write_moov(m);
    if (rc == 0) rc = vrc_mp4_muxer_patch_mdat_size(m);
    if (rc == 0) rc = vrc_uri_io_file_flush(m.pb);
    return rc;
}
