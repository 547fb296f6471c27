// The pieces the demuxer's sources share: the bounded cursor over box
// payloads, the walk state, the box readers and the frame-index fillers.
#ifndef VRC_MP4_DEMUXER_INTERNAL_H
#define VRC_MP4_DEMUXER_INTERNAL_H

#include <cstdint>
#include <cstring>

#include "vrc_mp4_demuxer.h"
#include "vrc_mp4_demuxer_samples.h"
#include "vrc_mp4_format.h"

namespace vrc {

// Payloads of the descriptive boxes are read into a scratch of this size;
// a longer payload is read up to it and parsed as far as it goes.
constexpr uint32_t MOV_BOX_BUF_SIZE = 700;
// A table box is read into memory whole, as far as the file holds it and
// up to this size (268 million entries of stsz): bytes beyond are not read.
constexpr uint32_t MOV_MAX_TABLE_BYTES = 1u << 30;

// Reads a payload in memory: every read checks the bytes left first and
// yields 0 past the end, where the cursor stays not ok.
class MovCursor {
public:
    MovCursor(const uint8_t *data, uint32_t size) : p_(data), end_(data + size) {}

    uint32_t left() const { return static_cast<uint32_t>(end_ - p_); }
    bool ok() const { return ok_; }
    const uint8_t *pos() const { return p_; }

    uint32_t u8() { return take(1) ? p_[-1] : 0; }
    uint32_t be16() { return take(2) ? uint32_t{p_[-2]} << 8 | p_[-1] : 0; }
    uint32_t be32()
    {
        return take(4) ? uint32_t{p_[-4]} << 24 | uint32_t{p_[-3]} << 16 | uint32_t{p_[-2]} << 8 | p_[-1] : 0;
    }
    uint64_t be64()
    {
        const uint64_t high = be32();
        return high << 32 | be32();
    }
    // Four type bytes in file order as a memory-order word (mov_fourcc).
    uint32_t fourcc()
    {
        if (!take(4)) return 0;
        return uint32_t{p_[-4]} | uint32_t{p_[-3]} << 8 | uint32_t{p_[-2]} << 16 | uint32_t{p_[-1]} << 24;
    }
    void skip(uint32_t n) { take(n); }
    // Copies n bytes; short of them, copies nothing and zeroes dst.
    void copy(void *dst, uint32_t n)
    {
        if (take(n))
            std::memcpy(dst, p_ - n, n);
        else
            std::memset(dst, 0, n);
    }
    // The next n bytes (as many as there are) as a cursor of their own.
    MovCursor sub(uint32_t n)
    {
        const uint32_t k = n < left() ? n : left();
        MovCursor inner(p_, k);
        p_ += k;
        return inner;
    }

private:
    bool take(uint32_t n)
    {
        if (!ok_ || n > left()) {
            ok_ = false;
            p_ = end_;
            return false;
        }
        p_ += n;
        return true;
    }

    const uint8_t *p_;
    const uint8_t *end_;
    bool ok_ = true;
};

// One sample of a track's table: where its bytes lie, how many, when it
// decodes and plays, its key flag, track slot and description. 32 bytes.
struct MovSample {
    uint64_t pos;                // file position of its first byte (while stsc is read: its chunk)
    int64_t decode_time;         // track units
    int32_t composition_offset;  // track units
    uint32_t duration;           // track units
    uint32_t size : 24;          // bytes, at most VRC_MUXER_MAX_SAMPLE_SIZE
    uint32_t key : 1;
    uint32_t track : 2;          // track slot
    uint32_t description;        // sample entry, from 0

    MovSampleTime time() const { return MovSampleTime{decode_time, composition_offset, duration, description}; }
};
static_assert(sizeof(MovSample) == 32, "a sample costs 32 bytes of its table");

// Samples of one media type in decode order, in blocks that are mapped as
// the walk reaches them: the table never moves, nothing is copied as it
// grows, and no more than `limit` samples get memory, the most a file of
// its size can hold (every sample takes a byte of media or four of stsz).
struct MovSampleTable {
    static constexpr uint32_t kBlockShift = 16;
    static constexpr uint32_t kBlockSamples = 1u << kBlockShift;  // 2 MiB a block
    static constexpr uint32_t kBlocks = 1u << (32 - kBlockShift);

    uint32_t count;       // samples valid
    uint32_t timescale;   // units of the decode times; 0: milliseconds (a recording's records)
    uint32_t limit;       // samples that may get memory
    uint64_t room;        // samples with memory behind them, whole blocks
    MovSample *blocks[kBlocks];

    // Sample i, which must lie below room.
    MovSample &operator[](uint32_t i) { return blocks[i >> kBlockShift][i & (kBlockSamples - 1)]; }
    const MovSample &operator[](uint32_t i) const { return blocks[i >> kBlockShift][i & (kBlockSamples - 1)]; }
    // Sample i with memory behind it, mapped zeroed when first reached;
    // null at the limit or when the system has no memory left.
    MovSample *reach(uint32_t i);
    // Gives back every block: the table is empty, with room for `samples`.
    void reset(uint32_t samples);
};

// What a context made by vrc_mp4_demuxer_new keeps beside the public
// record, in the same pages: hosts allocate the public record for
// vrc_mp4_demuxer_init from their own headers, so it never grows.
struct MovTrackState {
    uint32_t nr_descriptions;  // sample entries met in stsd; past the capacity, not kept
    MovSampleDescription descriptions[MOV_MAX_DESCRIPTIONS];
    MovPresentation presentation;  // count 0: no edit list
};

// What the index of a recording without moov was built from.
struct MovRecovery {
    bool no_moov;         // the file holds no moov: the index comes from the records
    uint32_t frames;      // whole frames the records gave
    uint32_t cut_frames;  // frames the file holds only in part (dropped)
};

// The sample tables by media type: video, audio.
struct MovSampleTables {
    MovSampleTable of[2];
};

struct MovDemuxer {
    vrc_mp4_demuxer_t pub;  // first, so that the host's pointer is this record's
    MovTrackState tracks[MOV_MAX_TRACKS];
    MovSampleTime delivered;  // the frame the last read_packet delivered
    bool has_delivered;
    // Every sample, with 64-bit positions: what reading goes through. The
    // public video_frames and audio_frames show the first MOV_MAX_FRAMES of
    // them that lie below 4 GiB.
    MovSampleTables samples;
    MovRecovery recovery;
    uint32_t table_owner[2];  // as the walk left MovWalk::table_owner
};

// The state beside ctx; null for a context from vrc_mp4_demuxer_init.
inline MovDemuxer *mov_demuxer_of(vrc_mp4_demuxer_t *ctx)
{
    return ctx && ctx->own_memory ? reinterpret_cast<MovDemuxer *>(ctx) : nullptr;
}
inline const MovDemuxer *mov_demuxer_of(const vrc_mp4_demuxer_t *ctx)
{
    return mov_demuxer_of(const_cast<vrc_mp4_demuxer_t *>(ctx));
}

// The frame table a track's sample tables fill, with the slot that owns it.
struct MovFrameTable {
    MovSampleTable *samples;  // null: the track fills no table
    uint32_t *known;          // samples the track's tables have declared so far
    uint32_t *located;        // samples a chunk offset has placed in the file
    uint32_t slot;
};

// A container box the walk has stepped into.
struct MovOpenBox {
    uint32_t type;
    uint64_t end;  // file position just past it
};

// Containers nest at most seven deep in the boxes the walk steps into
// (moov/trak/mdia/minf/stbl/stsd/avc1); deeper ones, in hostile files only,
// are not kept.
constexpr uint32_t MOV_MAX_OPEN_BOXES = 8;

// Defaults a movie's mvex/trex gives the fragments of one track.
struct MovTrackDefaults {
    uint32_t track_id;  // 0: unused
    uint32_t description;
    uint32_t duration;
    uint32_t size;
    uint32_t flags;
};
constexpr uint32_t MOV_MAX_TREX = 8;

// The fragment being read: its moof and the traf inside it.
struct MovFragment {
    uint64_t moof_pos;     // the moof's first byte
    uint64_t data_end;     // just past the last run's samples: where the next traf's data starts
    uint32_t table;        // table the traf fills; 2: none
    uint32_t slot;
    uint64_t base;         // the traf's base data offset
    uint64_t next_pos;     // where the next run's samples start when it gives no offset
    int64_t decode_time;   // of the traf's next sample
    MovTrackDefaults defaults;  // of the traf: tfhd's over trex's
    bool ended[2];         // per table: a sample outside the file ended the track
};

// State of one header walk.
struct MovWalk {
    vrc_mp4_demuxer_t *ctx;
    MovSampleTables *tables;  // the context's, or the walk's own for a host-allocated one
    uint64_t file_size;
    MovOpenBox open[MOV_MAX_OPEN_BOXES];  // the containers around the current box, innermost last
    uint32_t depth;
    uint32_t parent;  // type of the container holding the current box; 0 at the top
    uint32_t known[2];    // per table (video, audio): see MovFrameTable::known
    uint32_t located[2];  // per table: see MovFrameTable::located
    bool video_stss;      // a video track listed its key frames
    uint32_t entries;     // sample entries met in the current stsd
    uint32_t extra_skip;  // fields the current sample entry's version puts in front of its children
    // Per table (video, audio): 1 + the slot of the track whose samples fill
    // it, the first of its kind that the table takes; 0: none yet.
    uint32_t table_owner[2];
    uint64_t mdat_end;    // just past the last mdat met, cut to the file
    bool moov;            // a moov box was met
    bool moov_closed;     // the tables of moov are complete (at the first fragment or the end)
    MovTrackDefaults trex[MOV_MAX_TREX];
    uint32_t nr_trex;
    MovFragment frag;
    uint8_t scratch[MOV_BOX_BUF_SIZE];

    // The current track slot; valid only when has_slot() holds.
    uint32_t slot() const { return ctx->box_info.nr_tracks - 1; }
    bool has_slot() const { return ctx->box_info.nr_tracks >= 1 && ctx->box_info.nr_tracks <= MOV_MAX_TRACKS; }
    mov_track_t &track() const { return ctx->tracks[slot()]; }
    mov_track_meta_t &meta() const { return ctx->track_meta[slot()]; }
    // The sample entry being read: the first fills the public records.
    bool first_entry() const { return entries <= 1; }
    // Where the current sample entry is described; null when not kept.
    MovSampleDescription *description() const
    {
        MovDemuxer *d = mov_demuxer_of(ctx);
        if (!d || entries == 0 || entries > MOV_MAX_DESCRIPTIONS) return nullptr;
        return &d->tracks[slot()].descriptions[entries - 1];
    }
};

using MovBoxReader = void (*)(MovWalk &w, MovCursor &payload);

// Whether the current track's samples fill the table of its handler's kind
// (0 video, 1 sound): the first track of that kind whose first sample entry
// is a codec of that kind (or which has none) takes the table; others of
// the kind are described but not indexed.
bool mov_track_fills_table(MovWalk &w);
// Ends each frame table in front of its first sample that the file does
// not hold whole (a file cut short).
void mov_trim_cut_samples(MovWalk &w);
// Ends the tables moov filled: each at its last sample a chunk offset
// placed; a video track without stss has only sync samples. Once, before
// the first fragment adds to them.
void mov_close_moov_tables(MovWalk &w);
// Ends each frame table in front of its first sample whose description
// was not kept: its pictures could not be decoded.
void mov_trim_undescribed(MovWalk &w);
// Shows the first samples in the public record (vrc_mp4_demuxer_store.cpp).
void mov_publish_samples(MovWalk &w);

// A recording without moov: indexes its frames from the mr01 records in
// mdat (vrc_mp4_demuxer_records.cpp).
void mov_index_records(MovWalk &w);
// Whether the track's key frames carry parameter sets (mr02 records).
bool mov_has_param_sets(const mov_track_meta_t &meta);

// Descriptive boxes (vrc_mp4_demuxer_boxes.cpp).
void mov_parse_ftyp_box(MovWalk &w, MovCursor &c);
void mov_parse_mr00_box(MovWalk &w, MovCursor &c);
void mov_parse_mvhd_box(MovWalk &w, MovCursor &c);
void mov_parse_tkhd_box(MovWalk &w, MovCursor &c);
void mov_parse_elst_box(MovWalk &w, MovCursor &c);
void mov_parse_mdhd_box(MovWalk &w, MovCursor &c);
void mov_parse_hdlr_box(MovWalk &w, MovCursor &c);
void mov_parse_vmhd_box(MovWalk &w, MovCursor &c);
void mov_parse_smhd_box(MovWalk &w, MovCursor &c);
void mov_parse_dref_box(MovWalk &w, MovCursor &c);
void mov_parse_stsd_box(MovWalk &w, MovCursor &c);
void mov_note_sample_entry(MovWalk &w, uint32_t type);
void mov_parse_avc1_box(MovWalk &w, MovCursor &c);
void mov_parse_mp4a_box(MovWalk &w, MovCursor &c);
void mov_parse_ulaw_box(MovWalk &w, MovCursor &c);
void mov_parse_avcc_box(MovWalk &w, MovCursor &c);
void mov_parse_esds_box(MovWalk &w, MovCursor &c);

// Sample tables (vrc_mp4_demuxer_tables.cpp).
void mov_parse_stts_box(MovWalk &w, MovCursor &c);
void mov_parse_stsz_box(MovWalk &w, MovCursor &c);
void mov_parse_stsc_box(MovWalk &w, MovCursor &c);
void mov_parse_stco_box(MovWalk &w, MovCursor &c);
void mov_parse_co64_box(MovWalk &w, MovCursor &c);
void mov_parse_stss_box(MovWalk &w, MovCursor &c);
void mov_parse_ctts_box(MovWalk &w, MovCursor &c);

// Fragments (vrc_mp4_demuxer_fragments.cpp).
void mov_parse_trex_box(MovWalk &w, MovCursor &c);
void mov_enter_moof(MovWalk &w, uint64_t pos);
void mov_enter_traf(MovWalk &w);
void mov_parse_tfhd_box(MovWalk &w, MovCursor &c);
void mov_parse_tfdt_box(MovWalk &w, MovCursor &c);
void mov_parse_trun_box(MovWalk &w, MovCursor &c);

// Box times of 0 mean "not set" and stay 0.
inline uint32_t mov_box_time_to_unix(uint32_t t) { return t ? mov_mactime2unixtime(t) : 0; }

// ADTS sampling-frequency index of a rate: the exact entry of the table
// (96000 down to 7350), else the nearest one.
uint32_t adts_get_sampling_index(uint32_t sample_rate);

// read_packet without its log line: on a buffer too small, -1 with the
// bytes the frame needs in *needed (0 on every other outcome).
int mov_demuxer_read_frame(vrc_mp4_demuxer_t *ctx, vrc_media_packet_t *pkt, uint8_t *buf, int buf_size,
                           uint32_t *needed);

// Table mode: whether the next sample delivered is the audio table's: the
// lower file position of the two tables' next entries, audio on a tie.
bool mov_next_is_audio(const vrc_mp4_demuxer_t *ctx);

// Puts a parameter set behind a start code; the end of what was put.
uint8_t *mov_put_param_set(uint8_t *out, const uint8_t *data, uint32_t len);

}  // namespace vrc

#endif
