// The muxer context and the pieces its sources share: the moov size record
// and the size of the private records in front of a frame.
#ifndef VRC_MP4_MUXER_INTERNAL_H
#define VRC_MP4_MUXER_INTERNAL_H

#include <cstdint>
#include <cstring>

#include "vrc_codec.h"
#include "vrc_media.h"
#include "vrc_mp4_muxer.h"
#include "vrc_mp4_format.h"
#include "vrc_mp4_sample.h"
#include "vrc_uri_io.h"

namespace vrc {

class UriIoBatch;

constexpr uint32_t MOV_MOOV_TRACKS = 2;         // moov describes slots 0 (video) and 1 (audio)
// The largest value of a 32-bit field: with private records on, no byte of
// a sample may lie beyond it (the recorder's own files keep 32-bit chunk
// offsets); without them a larger offset, mdat or duration takes the
// 64-bit form of its box.
constexpr uint64_t MOV_MAX_FILE_OFFSET = 0xFFFFFFFFu;
// The media data move in blocks of this size when moov goes in front.
constexpr uint32_t MOV_MOVE_BLOCK_SIZE = 4u << 20;
// The packet writer's running duration of an audio track counts from this
// many milliseconds before its first stamp; it only picks the movie's
// timescale and times. Where samples play, the stamps alone decide: a
// stamp is the time of a frame's first sample.
constexpr uint32_t MOV_AUDIO_LEAD_MS = 40;

static_assert(sizeof(vrc_track_info_t::seq_params) == MOV_PARAM_SET_CAPACITY &&
                  sizeof(vrc_track_info_t::pic_params) == MOV_PARAM_SET_CAPACITY,
              "the track slot's parameter-set buffers hold an mr02 array each");

// Box sizes of one trak (each including its 8-byte header) and the counts
// its sample tables were sized with. The per-sample values (offsets, time
// deltas, frame records) are read from the frame table as the tables are
// written, so no per-track copy of them is kept.
struct mov_trak_size_t {
    uint32_t trak_size, tkhd_size, mdia_size, mdhd_size, hdlr_size, minf_size, vmhd_size,
        smhd_size, dinf_size, dref_size, stbl_size, stsd_size, stts_size;
    uint32_t stts_entries;
    uint32_t ctts_size, ctts_entries;  // 0: every sample plays at its decode time
    uint32_t ctts_version;             // 1 when an offset is negative
    uint32_t stsz_size, stsc_size;
    uint32_t stsc_entries;
    uint32_t stco_size, stss_size;  // stco_size: of co64 when the offsets are wide
    uint32_t stss_entries;       // key frames of the track
    uint32_t samples_per_chunk;  // every sample is a chunk of its own: 1
    uint32_t nr_chunks;
    uint32_t edts_size, elst_size;  // 0: the track starts with the movie and plays from its first sample
    uint64_t empty_edit;         // movie time before the track's first sample plays
    uint64_t media_edit;         // movie time the track's media plays
    uint32_t last_duration;      // of the track's last sample: its usual step
};

// Why the muxer refused a sample, in words a person reads.
struct MovRefusal {
    char reason[96];
    bool full;  // the file has no room for any later sample either
};

// The per-frame columns of the muxer, in one block of address space reserved
// at creation and committed as frames arrive: 21 bytes a frame in all (the
// 12-byte frame record, its composition offset, the place of a late track's
// frame, its sample description). The moov is read off these columns as it
// is written, so no other memory grows with the length of a recording.
struct MovFrameTable {
    mov_frame_info_t *frames;
    int32_t *composition;      // presentation minus decode time
    uint32_t *late_places;     // by the late track's sample number: where its first input frame stood
    uint8_t *description_of;   // its sample description
    uint32_t capacity;         // frames reserved
    uint32_t committed;        // frames usable
    void *block;
    size_t block_size;
};

// Frames a muxer's table can hold: the recorder's documented ceiling on a
// 32-bit build, where up to ten conversions share the address space; far
// more on a 64-bit one (weeks of a camera), bounded so that every box of
// moov still has a 32-bit size (at most 44 bytes of tables per sample).
constexpr uint32_t MOV_TABLE_CAPACITY = sizeof(void *) >= 8 ? (1u << 26) : VRC_MUXER_MAX_FRAMES;
// Frames committed at a time: one system call per 64 Ki frames.
constexpr uint32_t MOV_TABLE_COMMIT_STEP = 1u << 16;

// Reserves the table's address space; false on failure (nothing held).
bool mov_table_reserve(MovFrameTable &table, uint32_t capacity);
// Makes entry index usable, committing the next step when needed; false
// when it is beyond the capacity or the system has no memory left.
bool mov_table_make_room(MovFrameTable &table, uint32_t index);
void mov_table_release(MovFrameTable &table);

struct mov_moov_size_t {
    uint32_t moov_size;
    uint32_t mvhd_size;
    uint32_t wide_offsets;  // a sample lies past 4 GiB: co64 instead of stco
    mov_trak_size_t trak[VRC_MUXER_MAX_TRACKS];
};

}  // namespace vrc

// One zeroed allocation holds everything but the frame table, whose pages
// are committed as frames arrive (the move block's are touched only by a
// faststart tail).
struct vrc_mp4_muxer_t {
    vrc_uri_io_file_t *pb;      // the output file
    // While set, samples go out through this batch of pb instead of pb's
    // buffer; only with private records off (nothing else is written then
    // between header and tail).
    vrc::UriIoBatch *batch;
    vrc_track_info_t tracks[VRC_MUXER_MAX_TRACKS];
    uint64_t media_duration[VRC_MUXER_MAX_TRACKS];  // the sample durations added up, track units (the tail's)
    uint32_t nr_tracks;
    uint32_t nr_avframes[VRC_MUXER_MAX_TRACKS];
    uint32_t nr_frames;         // also the next free entry of the frame table
    uint32_t last_seq[VRC_MUXER_MAX_TRACKS];
    uint32_t bitrate_bytes[VRC_MUXER_MAX_TRACKS];
    uint32_t bitrate_start[VRC_MUXER_MAX_TRACKS];
    uint32_t bitrate[VRC_MUXER_MAX_TRACKS];  // bytes per second of the last window
    uint32_t bitrate_interval;               // window length in seconds
    uint32_t bitrate_log;
    vrc::MovFrameTable table;
    uint32_t creation_time;     // seconds since 1970, written into mr00
    uint32_t start_time;        // millisecond clock value paired with creation_time
    uint32_t private_enable;
    uint32_t private_size;
    uint32_t mdat_offset;       // of mdat's 8-byte header; a 16-byte one starts 8 bytes earlier
    uint32_t mdat_size_fixed;
    uint32_t ftyp_size;
    uint32_t free_size;
    uint64_t mdat_size;         // bytes of mdat so far, an 8-byte header included
    vrc::mov_moov_size_t moov;
    uint32_t tracks_added;      // add_tracks has been called
    uint32_t param_set_warned[VRC_MUXER_MAX_TRACKS];  // oversized parameter set reported
    uint32_t steps_repaired[VRC_MUXER_MAX_TRACKS];    // stamps the tail repaired, per track
    // Media time (track units) where a track's presentation begins (an
    // encoder's delay, the start of a clip): the samples before it only lead
    // the decoder up to it.
    uint32_t media_skip[VRC_MUXER_MAX_TRACKS];
    uint32_t play_length;       // milliseconds the presentation lasts at most; 0: as long as its media
    // Media time (track units) a track plays at most from where it begins;
    // 0: to the end of its media (re-encoded sound pads its last frame).
    uint32_t media_length[VRC_MUXER_MAX_TRACKS];
    // The sound's configuration as its input declared it (AAC copied); 0
    // bytes: the muxer derives it from the track.
    uint8_t audio_config[vrc::MOV_MAX_AUDIO_CONFIG];
    uint32_t audio_config_size;
    // A track written late (sound re-encoded: slot + 1; 0: none) and, for
    // each of its samples, the write position its first input frame had,
    // where the stamps' repair judges it against the other track.
    uint32_t late_track;
    uint32_t late_lead;         // milliseconds its first sample leads the first input frame (an encoder's delay)
    uint32_t faststart;         // moov in front of mdat
    vrc::MovRefusal refusal;    // of the last sample refused; empty after one written
    // Times given exactly (decode times and the last duration from an MP4
    // input): the stamps' repair leaves them as they are.
    uint32_t exact_times[VRC_MUXER_MAX_TRACKS];
    uint32_t end_duration[VRC_MUXER_MAX_TRACKS];     // of the last sample when given; 0: its usual step
    uint32_t has_composition[VRC_MUXER_MAX_TRACKS];  // a sample plays off its decode time
    // The video track's sample descriptions in order (a key frame whose
    // sets match an earlier one goes back to it) and whether the current one
    // has met its first key frame (until then new parameter sets replace it
    // rather than opening another).
    mov_param_sets_t descriptions[vrc::MOV_MAX_DESCRIPTIONS];
    uint32_t nr_descriptions;
    uint32_t current_description;  // of the frames being written
    uint32_t description_keyed;
    uint32_t description_warned;
    uint8_t move_block[vrc::MOV_MOVE_BLOCK_SIZE];  // faststart: the media data move through it
};

namespace vrc {

// mdat grown past 32 bits takes the 16-byte header (size 1, then a 64-bit
// size), 8 bytes in front of where its 8-byte header stood: over the free
// box, which lies right there when no private record does (and only then
// may a file grow so large).
inline bool mov_mdat_is_large(const vrc_mp4_muxer_t &m) { return m.mdat_size > MOV_MAX_FILE_OFFSET; }

// Bytes mdat moves when moov goes in front of it: moov's size, and 8 more
// for a 16-byte mdat header (the free box stays in front of moov).
inline uint64_t mov_moov_room(const vrc_mp4_muxer_t &m)
{
    return uint64_t{m.moov.moov_size} + (mov_mdat_is_large(m) ? 8 : 0);
}

}  // namespace vrc

// A muxer writing to path, opened with the file layer's flags (the
// conversion's output is a file it has just created); null on failure.
vrc_mp4_muxer_t *vrc_mp4_muxer_open(const char *path, int flags);

namespace vrc {

// Time from one stamp to another; stamps wrap around at 2^32.
inline int64_t mov_stamp_step(uint32_t from, uint32_t to) { return static_cast<int32_t>(to - from); }

struct TrackTiming {
    uint32_t start;          // stamp at which the first sample plays
    uint64_t duration;       // the sample durations added up
    uint32_t last_duration;  // of the last sample: the track's usual step
    uint32_t repaired;       // stamps put back in line and steps replaced
};

// Appends one sample with its times in the track's units: the decode time
// (its low 32 bits become the frame's stamp), composition offset and
// duration; the description of a video sample follows from its parameter
// sets. exact: the times stand as given, no repair. The results of
// vrc_mp4_muxer_write_packet.
int mov_write_sample(vrc_mp4_muxer_t &m, const vrc_media_packet_t &packet, const MovSampleTime &time, bool exact);

// Faststart: moves mdat (header included) forward in the file by the size
// moov was given, leaves the file at the room so made and counts mdat from
// its new place, so that moov is written there with the chunk offsets the
// samples now have (vrc_mp4_muxer_faststart.cpp). 0; VRC_ERR_FRAME_REFUSED
// (nothing moved) when private records are on and a sample would then lie
// beyond 32-bit offsets; the file's error when a read or write failed.
int mov_make_room_for_moov(vrc_mp4_muxer_t &m);

// Replaces the stamps of the slot's frames in the frame table by the times
// its samples play (vrc_mp4_muxer_timing.cpp). Slots are put in line in
// order: a slot's stamps are judged against the other track's as they
// stand.
TrackTiming mov_put_stamps_in_line(vrc_mp4_muxer_t &m, uint32_t slot);

// The times of a slot whose stamps were given exactly: each sample lasts
// until the next one's decode time, the last one as given or as its
// predecessor (vrc_mp4_muxer_timing.cpp).
TrackTiming mov_exact_timing(const vrc_mp4_muxer_t &m, uint32_t slot);

// The track's current parameter sets as an mr02 payload.
inline mov_param_sets_t mov_param_sets_of(const vrc_track_info_t &track)
{
    mov_param_sets_t sets{};
    sets.seq_param_len = static_cast<uint16_t>(track.seq_params_len);
    sets.pic_param_len = static_cast<uint16_t>(track.pic_params_len);
    std::memcpy(sets.seq_param, track.seq_params, sizeof sets.seq_param);
    std::memcpy(sets.pic_param, track.pic_params, sizeof sets.pic_param);
    return sets;
}

// Whether a frame of this slot carries an mr02 record: H.264 key frames do.
inline bool mov_frame_has_param_sets(const vrc_mp4_muxer_t &m, bool key_frame, uint32_t slot)
{
    const CodecRow *codec = codec_by_id(m.tracks[slot].codec_id);
    return m.private_enable && key_frame && codec && codec->param_sets;
}

// Bytes of the private records written in front of a frame's sample.
inline uint32_t mov_private_bytes(const vrc_mp4_muxer_t &m, bool key_frame, uint32_t slot)
{
    if (!m.private_enable) return 0;
    return m.private_size + (mov_frame_has_param_sets(m, key_frame, slot) ? MOV_MR02_SIZE : 0);
}

}  // namespace vrc

#endif
