// The MP4 demuxer context and the header walk: one linear pass over the box
// headers that steps into a fixed list of containers, records every box it
// meets and hands each known payload to its reader.
#include "vrc_mp4_demuxer.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "vrc_debug.h"
#include "vrc_mem.h"
#include "vrc_mp4_demuxer_internal.h"
#include "vrc_platform.h"
#include "vrc_uri_io_block.h"

namespace {

using namespace vrc;

// What the walk does at a box before its payload is handed on.
enum class MovStep : uint8_t {
    Over,     // on to the box end
    Descend,  // on to the first child, behind `skip` fixed bytes
    Trak,     // a new track slot, then descend
    Mr00,     // private mode, then over
    Mdat,     // note where the frames start, then over
    Moof,     // a fragment begins: moov's tables are complete; descend
    Traf,     // a track's part of the fragment; descend
};

// What parse_box reads of a box for its reader.
enum class MovRead : uint8_t {
    None,
    Payload,  // the payload into the scratch (up to its size)
    Fixed,    // `fixed` bytes into the scratch
    Table,    // the payload into a heap buffer of its own
};

struct MovBoxAction {
    uint32_t type;
    MovStep step;
    uint32_t skip;   // Descend: fixed bytes in front of the children
    MovRead read;
    uint32_t fixed;  // MovRead::Fixed: bytes read
    bool slot;       // belongs to the current track slot
    MovBoxReader reader;
    bool entry = false;  // a sample entry: only a child of stsd is one
};

// Sizes of the stsd fields and the first sample entry's header, read together.
constexpr uint32_t kStsdRead = MOV_STSD_FIXED_SIZE + MOV_BOX_ATOM_SIZE;
// A sound entry with the longest version-specific fields (QuickTime's
// version 2); its reader says how many of them stand in front of the children.
constexpr uint32_t kSoundEntryRead = MOV_AUDIO_SAMPLE_FIXED_SIZE + MOV_SOUND_V2_FIELDS_SIZE;

constexpr MovBoxAction kBoxActions[] = {
    {mov_fourcc("moov"), MovStep::Descend, 0, MovRead::None, 0, false, nullptr},
    {mov_fourcc("trak"), MovStep::Trak, 0, MovRead::None, 0, false, nullptr},
    {mov_fourcc("edts"), MovStep::Descend, 0, MovRead::None, 0, false, nullptr},
    {mov_fourcc("mdia"), MovStep::Descend, 0, MovRead::None, 0, false, nullptr},
    {mov_fourcc("minf"), MovStep::Descend, 0, MovRead::None, 0, false, nullptr},
    {mov_fourcc("stbl"), MovStep::Descend, 0, MovRead::None, 0, false, nullptr},
    {mov_fourcc("mdat"), MovStep::Mdat, 0, MovRead::None, 0, false, nullptr},
    {mov_fourcc("mvex"), MovStep::Descend, 0, MovRead::None, 0, false, nullptr},
    {mov_fourcc("moof"), MovStep::Moof, 0, MovRead::None, 0, false, nullptr},
    {mov_fourcc("traf"), MovStep::Traf, 0, MovRead::None, 0, false, nullptr},
    {mov_fourcc("ftyp"), MovStep::Over, 0, MovRead::Payload, 0, false, mov_parse_ftyp_box},
    {mov_fourcc("mr00"), MovStep::Mr00, 0, MovRead::Payload, 0, false, mov_parse_mr00_box},
    {mov_fourcc("mvhd"), MovStep::Over, 0, MovRead::Payload, 0, false, mov_parse_mvhd_box},
    {mov_fourcc("tkhd"), MovStep::Over, 0, MovRead::Payload, 0, true, mov_parse_tkhd_box},
    {mov_fourcc("elst"), MovStep::Over, 0, MovRead::Payload, 0, true, mov_parse_elst_box},
    {mov_fourcc("mdhd"), MovStep::Over, 0, MovRead::Payload, 0, true, mov_parse_mdhd_box},
    {mov_fourcc("hdlr"), MovStep::Over, 0, MovRead::Payload, 0, true, mov_parse_hdlr_box},
    {mov_fourcc("vmhd"), MovStep::Over, 0, MovRead::Payload, 0, true, mov_parse_vmhd_box},
    {mov_fourcc("smhd"), MovStep::Over, 0, MovRead::Payload, 0, true, mov_parse_smhd_box},
    {mov_fourcc("dref"), MovStep::Over, 0, MovRead::Payload, 0, true, mov_parse_dref_box},
    {mov_fourcc("stsd"), MovStep::Descend, MOV_STSD_FIXED_SIZE, MovRead::Fixed, kStsdRead, true, mov_parse_stsd_box},
    {mov_fourcc("avc1"), MovStep::Descend, MOV_VIDEO_SAMPLE_FIXED_SIZE, MovRead::Fixed, MOV_VIDEO_SAMPLE_FIXED_SIZE,
     true, mov_parse_avc1_box, true},
    {mov_fourcc("mp4a"), MovStep::Descend, MOV_AUDIO_SAMPLE_FIXED_SIZE, MovRead::Fixed, kSoundEntryRead, true,
     mov_parse_mp4a_box, true},
    {mov_fourcc("ulaw"), MovStep::Descend, MOV_AUDIO_SAMPLE_FIXED_SIZE, MovRead::Fixed, kSoundEntryRead, true,
     mov_parse_ulaw_box, true},
    // QuickTime keeps an AAC entry's esds inside wave, behind frma and a
    // short mp4a box that is no sample entry.
    {mov_fourcc("wave"), MovStep::Descend, 0, MovRead::None, 0, false, nullptr},
    {mov_fourcc("avcC"), MovStep::Over, 0, MovRead::Payload, 0, true, mov_parse_avcc_box},
    {mov_fourcc("esds"), MovStep::Over, 0, MovRead::Payload, 0, true, mov_parse_esds_box},
    {mov_fourcc("stts"), MovStep::Over, 0, MovRead::Table, 0, true, mov_parse_stts_box},
    {mov_fourcc("stsz"), MovStep::Over, 0, MovRead::Table, 0, true, mov_parse_stsz_box},
    {mov_fourcc("stsc"), MovStep::Over, 0, MovRead::Table, 0, true, mov_parse_stsc_box},
    {mov_fourcc("stco"), MovStep::Over, 0, MovRead::Table, 0, true, mov_parse_stco_box},
    {mov_fourcc("co64"), MovStep::Over, 0, MovRead::Table, 0, true, mov_parse_co64_box},
    {mov_fourcc("stss"), MovStep::Over, 0, MovRead::Table, 0, true, mov_parse_stss_box},
    {mov_fourcc("ctts"), MovStep::Over, 0, MovRead::Table, 0, true, mov_parse_ctts_box},
    {mov_fourcc("trex"), MovStep::Over, 0, MovRead::Payload, 0, false, mov_parse_trex_box},
    {mov_fourcc("tfhd"), MovStep::Over, 0, MovRead::Payload, 0, false, mov_parse_tfhd_box},
    {mov_fourcc("tfdt"), MovStep::Over, 0, MovRead::Payload, 0, false, mov_parse_tfdt_box},
    {mov_fourcc("trun"), MovStep::Over, 0, MovRead::Table, 0, false, mov_parse_trun_box},
};

constexpr MovBoxAction kOtherBox = {0, MovStep::Over, 0, MovRead::None, 0, false, nullptr};

// A sample entry's type met elsewhere (QuickTime's mp4a inside wave) is
// passed over.
const MovBoxAction &mov_box_action(const MovWalk &w, uint32_t type)
{
    for (const MovBoxAction &a : kBoxActions)
        if (a.type == type) return a.entry && w.parent != mov_fourcc("stsd") ? kOtherBox : a;
    return kOtherBox;
}

// One box header as the walk meets it.
struct MovBoxHeader {
    uint64_t pos;           // of the header
    uint32_t size_field;    // the 32-bit size as written
    uint32_t type;
    uint32_t header_size;   // 8, or 16 with a 64-bit size
    uint64_t size;          // the whole box
};

// Hosts match these lines: keep the wording.
void log_seek_failed(int64_t reached)
{
    vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "seek failed: %d!\n", static_cast<int>(reached));
}
void log_not_mp4() { vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "This is not valid mp4 format!\n"); }

bool mov_type_printable(uint32_t type)
{
    for (int shift = 0; shift < 32; shift += 8) {
        const uint32_t c = (type >> shift) & 0xFFu;
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

enum class MovHeader : uint8_t {
    Box,         // a box to record and act on
    Terminator,  // the rest of the container holds no box
    End,         // the walk ends
};

// Reads the header at the current position. The walk ends at the end of the
// file, a size that cannot hold the header, a type that is not text, or a
// first box other than ftyp. At the top a size of 0 runs to the end of the
// file: so stands the mdat of a recording whose tail was never written.
// Inside a container it is QuickTime's terminator (four zero bytes), as are
// a box of type 0 (the eight-byte form) and any tail too short for a header.
MovHeader mov_read_box_header(const MovWalk &w, uint64_t pos, MovBoxHeader *box)
{
    vrc_mp4_demuxer_t *ctx = w.ctx;
    if (w.depth > 0 && w.open[w.depth - 1].end - pos < MOV_BOX_ATOM_SIZE) return MovHeader::Terminator;
    box->pos = pos;
    box->size_field = vrc_uri_io_file_rb32(ctx->pb);
    box->type = vrc_uri_io_file_rl32(ctx->pb);
    box->header_size = MOV_BOX_ATOM_SIZE;
    box->size = box->size_field;
    if (box->size_field == 1) {  // the size follows as 64 bits
        box->size = vrc_uri_io_file_rb64(ctx->pb);
        box->header_size += 8;
    } else if (box->size_field == 0) {
        if (w.depth > 0) return MovHeader::Terminator;
        box->size = w.file_size > pos ? w.file_size - pos : 0;
    }
    if (w.depth > 0 && box->type == 0) return MovHeader::Terminator;
    if (box->size < box->header_size) return MovHeader::End;
    if (!mov_type_printable(box->type)) return MovHeader::End;
    return ctx->box_info.nr_boxes > 0 || box->type == mov_fourcc("ftyp") ? MovHeader::Box : MovHeader::End;
}

void mov_record_box(mov_box_info_t &info, const MovBoxHeader &box)
{
    if (info.nr_boxes >= MOV_MAX_BOXES) return;
    info.boxes[info.nr_boxes][0] = box.size_field;
    info.boxes[info.nr_boxes][1] = box.type;
    info.offsets[info.nr_boxes] = static_cast<uint32_t>(box.pos);
    ++info.nr_boxes;
}

// Reads what the box's reader needs and runs it. The bytes read, 0 when the
// box is not read, negative on an I/O error. A payload that does not arrive
// whole is not parsed; a table never gets more memory than the file can
// fill, nor more than the index can use.
int vrc_mp4_demuxer_parse_box(MovWalk &w, const MovBoxAction &a, uint64_t payload_pos, uint64_t payload_size)
{
    if (a.read == MovRead::None || (a.slot && !w.has_slot())) return 0;
    uint64_t want = a.read == MovRead::Fixed && a.fixed < payload_size ? a.fixed : payload_size;
    uint8_t *buf = w.scratch;
    if (a.read == MovRead::Table) {
        const uint64_t in_file = w.file_size > payload_pos ? w.file_size - payload_pos : 0;
        if (want > in_file) want = in_file;
        if (want > MOV_MAX_TABLE_BYTES) want = MOV_MAX_TABLE_BYTES;
        buf = static_cast<uint8_t *>(vrc_calloc(static_cast<uint32_t>(want) + 1, 1));
        if (!buf) return 0;
    } else if (want > MOV_BOX_BUF_SIZE) {
        want = MOV_BOX_BUF_SIZE;
    }
    const int got = vrc_uri_io_file_read(w.ctx->pb, buf, static_cast<int>(want));
    if (got >= 0 && static_cast<uint64_t>(got) == want) {
        MovCursor payload(buf, static_cast<uint32_t>(want));
        a.reader(w, payload);
    }
    if (buf != w.scratch) vrc_free(buf);
    return got;
}

// The box at pos lies in the innermost container that ends beyond it.
void mov_find_parent(MovWalk &w, uint64_t pos)
{
    while (w.depth > 0 && w.open[w.depth - 1].end <= pos) --w.depth;
    w.parent = w.depth > 0 ? w.open[w.depth - 1].type : 0;
}

// A box's end, cut to the file's: a 64-bit size may reach beyond any file
// (and wrap).
uint64_t mov_box_end(const MovWalk &w, const MovBoxHeader &box)
{
    const uint64_t left = w.file_size > box.pos ? w.file_size - box.pos : 0;
    return box.pos + (box.size < left ? box.size : left);
}

void mov_step_into(MovWalk &w, const MovBoxHeader &box)
{
    if (w.depth < MOV_MAX_OPEN_BOXES) w.open[w.depth++] = MovOpenBox{box.type, mov_box_end(w, box)};
}

// Where the walk goes after the box: into it, or past it.
uint64_t mov_next_position(MovWalk &w, const MovBoxHeader &box, const MovBoxAction &a)
{
    const uint64_t payload_pos = box.pos + box.header_size;
    switch (a.step) {
    case MovStep::Trak:
        ++w.ctx->box_info.nr_tracks;
        w.entries = 0;
        mov_step_into(w, box);
        return payload_pos;
    case MovStep::Descend:
        mov_step_into(w, box);
        return payload_pos + a.skip;  // the entry's reader may add its version's fields (extra_skip)
    case MovStep::Moof:
        mov_close_moov_tables(w);
        mov_enter_moof(w, box.pos);
        mov_step_into(w, box);
        return payload_pos;
    case MovStep::Traf:
        mov_enter_traf(w);
        mov_step_into(w, box);
        return payload_pos;
    case MovStep::Mr00:
        w.ctx->private_mode = 1;
        break;
    case MovStep::Mdat:
        w.ctx->mdat_pos = static_cast<uint32_t>(payload_pos);
        w.mdat_end = mov_box_end(w, box);
        break;
    case MovStep::Over:
        break;
    }
    // A box reaching beyond the file ends the walk. The walk always moves on
    // by at least the header.
    const uint64_t end = mov_box_end(w, box);
    return end > payload_pos ? end : payload_pos;
}

// Whether the file holds the whole of the sample.
bool mov_sample_in_file(const MovWalk &w, const MovSample &sample)
{
    return sample.pos + sample.size <= w.file_size;
}

uint64_t mov_file_size(vrc_uri_io_file_t *pb)
{
    const int64_t end = vrc_uri_io_file_seek(pb, 0, SEEK_END);
    vrc_uri_io_file_seek(pb, 0, SEEK_SET);
    return end > 0 ? static_cast<uint64_t>(end) : 0;
}

void mov_walk(MovWalk &w)
{
    vrc_mp4_demuxer_t *ctx = w.ctx;
    uint64_t pos = 0;
    while (!vrc_uri_io_file_eof(ctx->pb)) {
        MovBoxHeader box{};
        mov_find_parent(w, pos);
        const MovHeader header = mov_read_box_header(w, pos, &box);
        if (header == MovHeader::End) return;
        if (header == MovHeader::Terminator) {
            pos = w.open[w.depth - 1].end;  // beyond pos: a container ending at pos is no longer open
        } else {
            if (w.parent == mov_fourcc("stsd")) mov_note_sample_entry(w, box.type);
            mov_record_box(ctx->box_info, box);
            if (box.type == mov_fourcc("moov")) w.moov = true;
            const MovBoxAction &a = mov_box_action(w, box.type);
            const uint64_t next = mov_next_position(w, box, a);
            w.extra_skip = 0;
            if (vrc_mp4_demuxer_parse_box(w, a, box.pos + box.header_size, box.size - box.header_size) < 0) return;
            pos = next + w.extra_skip;
        }
        const int64_t reached = vrc_uri_io_file_seek(ctx->pb, static_cast<int64_t>(pos), SEEK_SET);
        if (reached != static_cast<int64_t>(pos)) {
            log_seek_failed(reached);
            return;
        }
    }
}

int vrc_mp4_demuxer_open(vrc_mp4_demuxer_t *ctx, const char *uri)
{
    ctx->pb = vrc_uri_io_file_new(VRC_URI_IO_FLAG_READ, uri);
    return ctx->pb ? 0 : -1;
}

// What one walk learns of the tracks starts empty; the sample times are
// rewritten for every sample the tables declare.
void mov_reset_tracks(MovDemuxer *d)
{
    if (!d) return;
    for (MovTrackState &t : d->tracks) {
        t.nr_descriptions = 0;
        t.presentation.count = 0;
    }
    d->has_delivered = false;
}

// A recording without moov: the index from its records, the calendar time
// from mr00, the duration from the first and last video frames.
void mov_recover_recording(MovWalk &w)
{
    vrc_mp4_demuxer_t *ctx = w.ctx;
    mov_index_records(w);
    ctx->creation_time = ctx->track_meta[0].creation_time;
    const MovSampleTable &video = w.tables->of[MOV_TABLE_VIDEO];
    if (video.count > 1)
        ctx->duration = static_cast<uint32_t>((video[video.count - 1].decode_time - video[0].decode_time) / 1000);
}

// mvhd's duration covers moov's samples only: a fragmented file lasts as
// long as its tables reach, in whole seconds.
void mov_extend_to_fragments(const MovWalk &w)
{
    if (w.frag.moof_pos == 0) return;
    for (const MovSampleTable &t : w.tables->of) {
        if (t.count == 0 || t.timescale == 0) continue;
        const MovSample &last = t[t.count - 1];
        const int64_t end = (last.decode_time + last.duration) / t.timescale;
        if (end > w.ctx->duration) w.ctx->duration = static_cast<uint32_t>(end);
    }
}

// The tables the walk fills: the context's own, or for a context a host
// allocated, tables of the walk's, shown in the public record and given
// back. Either holds no more samples than the file can: each takes a byte
// of media or four bytes of stsz. A host's record sees MOV_MAX_FRAMES.
MovSampleTables *mov_open_tables(vrc_mp4_demuxer_t *ctx, uint64_t file_size)
{
    MovDemuxer *d = mov_demuxer_of(ctx);
    auto *tables = d ? &d->samples : static_cast<MovSampleTables *>(page_alloc(sizeof(MovSampleTables)));
    const uint64_t most = d ? UINT32_MAX - 1u : MOV_MAX_FRAMES;
    if (!tables) return nullptr;
    for (MovSampleTable &t : tables->of)
        t.reset(static_cast<uint32_t>(file_size < most ? file_size : most));
    return tables;
}

void mov_close_tables(vrc_mp4_demuxer_t *ctx, MovSampleTables *tables)
{
    if (!tables || mov_demuxer_of(ctx)) return;
    for (MovSampleTable &t : tables->of) t.reset(0);
    page_free(tables, sizeof *tables);
}

}  // namespace

// Samples lie in file order in each table, as every writer places them:
// those at its end are the ones a cut took. The private mode reads its own
// frame records and stops at the first cut frame.
void vrc::mov_trim_cut_samples(MovWalk &w)
{
    for (MovSampleTable &t : w.tables->of)
        while (t.count > 0 && !mov_sample_in_file(w, t[t.count - 1])) --t.count;
}

namespace {

static_assert(std::is_standard_layout<MovDemuxer>::value, "the public record is the state's first member");

}  // namespace

// The context and its state lie in pages of their own: the frame tables
// and sample times are never cleared by hand, so their pages stay
// untouched until the file fills them.
extern "C" VRC_API vrc_mp4_demuxer_t *vrc_mp4_demuxer_new(int, const char *uri)
{
    auto *d = static_cast<MovDemuxer *>(page_alloc(sizeof(MovDemuxer)));
    if (!d) return nullptr;
    vrc_mp4_demuxer_t *ctx = &d->pub;
    ctx->own_memory = 1;
    if (!uri || vrc_mp4_demuxer_open(ctx, uri) != 0) {
        page_free(d, sizeof *d);
        return nullptr;
    }
    return ctx;
}

extern "C" VRC_API int vrc_mp4_demuxer_init(vrc_mp4_demuxer_t *ctx, int, const char *uri)
{
    if (!ctx || !uri) return -1;
    std::memset(ctx, 0, sizeof *ctx);
    return vrc_mp4_demuxer_open(ctx, uri);
}

extern "C" VRC_API int vrc_mp4_demuxer_free(vrc_mp4_demuxer_t *ctx)
{
    if (!ctx) return 0;
    if (ctx->pb) vrc_uri_io_file_free(ctx->pb);
    ctx->pb = nullptr;
    if (MovDemuxer *d = mov_demuxer_of(ctx)) {
        for (MovSampleTable &t : d->samples.of) t.reset(0);
        page_free(d, sizeof *d);
    }
    return 0;
}

extern "C" VRC_API int vrc_mp4_demuxer_read_header(vrc_mp4_demuxer_t *ctx)
{
    if (!ctx || !ctx->pb) return -1;
    ctx->box_info = mov_box_info_t{};
    mov_reset_tracks(mov_demuxer_of(ctx));
    MovWalk w{};
    w.ctx = ctx;
    w.file_size = mov_file_size(ctx->pb);
    w.tables = mov_open_tables(ctx, w.file_size);
    if (!w.tables) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "no memory for the sample tables\n");
        return 0;
    }
    mov_walk(w);
    mov_close_moov_tables(w);
    mov_trim_undescribed(w);
    if (!ctx->private_mode) mov_trim_cut_samples(w);
    if (MovDemuxer *d = mov_demuxer_of(ctx)) std::memcpy(d->table_owner, w.table_owner, sizeof d->table_owner);
    if (ctx->box_info.nr_boxes == 0) log_not_mp4();
    ctx->creation_time = mov_box_time_to_unix(ctx->mvhd.creation_time);
    if (ctx->mvhd.timescale != 0) ctx->duration = ctx->mvhd.duration / ctx->mvhd.timescale;
    mov_extend_to_fragments(w);
    if (ctx->private_mode && !w.moov && ctx->mdat_pos != 0) mov_recover_recording(w);
    mov_publish_samples(w);
    mov_close_tables(ctx, w.tables);
    // The walk reads box headers where they lie, a fragment's or a frame
    // record's in front of its media, with small reads; samples lie close
    // together: a seek to the next one mostly stays inside the block read.
    uri_io_use_blocks(ctx->pb);
    return 0;
}
