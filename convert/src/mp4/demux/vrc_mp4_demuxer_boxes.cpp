// Readers of the descriptive boxes: each copies the fields the demuxer keeps
// from a payload in memory into the context, and where the file is read in
// table mode also into the track's description. Payloads are read through a
// bounded cursor: a short payload leaves the missing fields zero.
#include <cstring>

#include "vrc_debug.h"
#include "vrc_codec.h"
#include "vrc_mp4_demuxer_internal.h"
#include "vrc_mp4_h264.h"

namespace vrc {

namespace {

// Version and flags of a full box.
void mov_read_full_box(MovCursor &c, uint8_t *version, uint8_t (&flags)[3])
{
    *version = static_cast<uint8_t>(c.u8());
    c.copy(flags, sizeof flags);
}

// A time field of a full box: 32 bits in version 0, 64 in version 1. Dates
// keep their low 32 bits (seconds since 1904 fit them until 2040); a
// duration past 32 bits reads as the largest that fits.
uint32_t mov_read_date(MovCursor &c, uint8_t version)
{
    return version == 1 ? static_cast<uint32_t>(c.be64()) : c.be32();
}
uint32_t mov_read_duration(MovCursor &c, uint8_t version)
{
    if (version != 1) return c.be32();
    const uint64_t d = c.be64();
    return d > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(d);
}

// Copies up to `capacity` bytes of what is left, keeping the last byte 0.
void mov_copy_text(MovCursor &c, void *dst, uint32_t capacity)
{
    const uint32_t n = c.left() < capacity ? c.left() : capacity;
    c.copy(dst, n);
    static_cast<uint8_t *>(dst)[capacity - 1] = 0;
}

constexpr uint32_t kAdtsRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                   22050, 16000, 12000, 11025, 8000,  7350};
constexpr uint32_t kAdtsRateCount = sizeof kAdtsRates / sizeof kAdtsRates[0];

// The parameter set behind a 16-bit length; false when it runs past the
// payload.
bool mov_read_param_set(MovCursor &c, uint32_t *len, const uint8_t **data)
{
    *len = c.be16();
    *data = c.pos();
    c.skip(*len);
    return c.ok();
}

// Keeps a parameter set when it fits its destination; else its length is 0.
template <typename Len, size_t N>
void mov_keep_param_set(Len *len_field, uint8_t (&dst)[N], uint32_t len, const uint8_t *data)
{
    if (len > N) {
        vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__, "parameter set of %u bytes does not fit %u\n", len,
                    static_cast<unsigned>(N));
        len = 0;
    }
    *len_field = static_cast<Len>(len);
    if (len) std::memcpy(dst, data, len);
}

// The length of an MPEG-4 descriptor: up to four bytes of seven bits each,
// the high bit announcing another.
uint32_t mov_descriptor_length(MovCursor &c)
{
    uint32_t len = 0;
    for (int i = 0; i < 4; ++i) {
        const uint32_t b = c.u8();
        len = len << 7 | (b & 0x7Fu);
        if (!(b & 0x80u)) break;
    }
    return len;
}

// The AudioSpecificConfig at the start of the decoder specific information:
// object type, sampling-frequency index (or an explicit rate) and channel
// configuration, as much of it as an ADTS header can carry. The rate in Hz;
// 0 when the configuration is too short.
uint32_t mov_parse_audio_specific_config(MovCursor dsi, mov_audio_config_t *out)
{
    if (dsi.left() < 2) return 0;
    uint64_t head = 0;  // the first eight bytes, zeros past the end
    for (int i = 0; i < 8; ++i) head = head << 8 | dsi.u8();
    uint32_t bit = 64;
    auto take = [&](uint32_t n) {
        bit -= n;
        return static_cast<uint32_t>(head >> bit) & ((1u << n) - 1u);
    };
    uint32_t object_type = take(5);
    if (object_type == 31) object_type = 32 + take(6);
    uint32_t index = take(4);
    const uint32_t rate = index == 15 ? take(24) : index < kAdtsRateCount ? kAdtsRates[index] : 0;
    if (index == 15) index = adts_get_sampling_index(rate);
    out->present = 1;
    out->object_type = static_cast<uint8_t>(object_type);
    out->sampling_index = static_cast<uint8_t>(index);
    out->channels = static_cast<uint8_t>(take(4));
    return rate;
}

// The configuration box's payload, as the file has it, when it fits.
void mov_keep_config(MovSampleDescription *desc, MovCursor c)
{
    if (!desc || c.left() > sizeof desc->config) return;
    desc->config_size = c.left();
    c.copy(desc->config, desc->config_size);
}

// Adds a parameter set to those put in front of the description's key
// frames; one that does not fit is left out and said.
void mov_add_param_set(MovSampleDescription *desc, const uint8_t *data, uint32_t len)
{
    if (!desc) return;
    if (uint64_t{desc->param_sets_size} + H264_START_CODE_SIZE + len > sizeof desc->param_sets) {
        vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__, "parameter set of %u bytes does not fit its description\n", len);
        return;
    }
    desc->param_sets_size =
        static_cast<uint32_t>(mov_put_param_set(desc->param_sets + desc->param_sets_size, data, len) - desc->param_sets);
}

// The codec table knows which codec a sample entry's type stands for.
uint32_t mov_entry_codec(uint32_t type)
{
    const CodecRow *codec = codec_by_entry(type);
    return codec ? codec->codec_id : 0;
}

void mov_apply_audio_entry(MovWalk &w, uint32_t codec_id, uint32_t rate)
{
    const mov_box_audio_sample_t &a = w.track().audio_sample;
    if (w.ctx->private_mode) return;
    mov_track_meta_t &meta = w.meta();
    meta.u.audio.channels = a.channel_count;
    meta.u.audio.bit_width = a.sample_size;
    meta.u.audio.sample_rate = rate;
    meta.codec_id = static_cast<uint8_t>(codec_id);
}

// A QuickTime version 2 sound description's rate and channels, which
// replace the placeholders of the common fields; the fields it adds are
// stepped over. False when the payload does not hold them.
bool mov_read_sound_v2(MovCursor &c, uint32_t *rate, uint32_t *channels)
{
    c.skip(4);  // sizeOfStructOnly
    const uint64_t bits = c.be64();
    double hz = 0;
    std::memcpy(&hz, &bits, sizeof hz);  // audioSampleRate, an IEEE double
    *channels = c.be32();                // numAudioChannels
    c.skip(MOV_SOUND_V2_FIELDS_SIZE - 16);
    // Any rate a sound track has fits; NaN and the absurd read as none.
    *rate = hz >= 1 && hz <= 1e6 ? static_cast<uint32_t>(hz) : 0;
    return c.ok();
}

// The first entry fills the public records, as it always did; the
// description is the entry's own. The children of a QuickTime sound
// description start behind the fields of its version.
void mov_parse_audio_sample(MovWalk &w, MovCursor &c, uint32_t codec_id)
{
    mov_box_audio_sample_t a{};
    c.skip(6);
    a.data_reference_index = static_cast<uint16_t>(c.be16());
    const uint32_t version = c.be16();
    c.skip(6);  // revision, vendor
    a.channel_count = static_cast<uint16_t>(c.be16());
    a.sample_size = static_cast<uint16_t>(c.be16());
    c.skip(4);  // compression id, packet size
    a.sample_rate = c.be32();
    uint32_t rate = a.sample_rate >> 16;
    uint32_t channels = a.channel_count;
    if (version == 1) {
        c.skip(MOV_SOUND_V1_FIELDS_SIZE);
        if (c.ok()) w.extra_skip = MOV_SOUND_V1_FIELDS_SIZE;
    } else if (version == 2 && mov_read_sound_v2(c, &rate, &channels)) {
        w.extra_skip = MOV_SOUND_V2_FIELDS_SIZE;
        a.channel_count = static_cast<uint16_t>(channels > UINT16_MAX ? UINT16_MAX : channels);
        a.sample_rate = rate > UINT16_MAX ? 0 : rate << 16;
    }
    if (MovSampleDescription *desc = w.description()) {
        desc->codec_id = codec_id;
        desc->channels = channels;
        desc->sample_rate = rate;
    }
    if (!w.first_entry()) return;
    w.track().audio_sample = a;
    mov_apply_audio_entry(w, codec_id, rate);
}

// What the entry's description takes from its AudioSpecificConfig: the
// bytes, and the channels and rate where it declares them (the sample
// entry's are often placeholders: 2 channels for a mono track).
void mov_apply_audio_config(MovWalk &w, MovCursor asc, uint32_t rate, const mov_audio_config_t &config)
{
    MovSampleDescription *desc = w.description();
    if (!desc) return;
    mov_keep_config(desc, asc);
    if (config.channels) desc->channels = config.channels;
    if (rate) desc->sample_rate = rate;
}

}  // namespace

uint32_t adts_get_sampling_index(uint32_t sample_rate)
{
    uint32_t best = 0;
    uint32_t best_gap = UINT32_MAX;
    for (uint32_t i = 0; i < kAdtsRateCount; ++i) {
        const uint32_t gap = sample_rate > kAdtsRates[i] ? sample_rate - kAdtsRates[i] : kAdtsRates[i] - sample_rate;
        if (gap < best_gap) {
            best = i;
            best_gap = gap;
        }
    }
    return best;
}

bool mov_track_fills_table(MovWalk &w)
{
    const uint32_t kind = w.track().handler_kind;
    if (kind > 1) return false;
    uint32_t &owner = w.table_owner[kind];
    if (owner == 0 && codec_entry_readable(w.track().sample_entry_type, kind)) owner = w.slot() + 1;
    return owner == w.slot() + 1;
}

void mov_parse_ftyp_box(MovWalk &w, MovCursor &c)
{
    mov_box_ftyp_t &f = w.ctx->ftyp;
    f = mov_box_ftyp_t{};
    f.major_brand = c.fourcc();
    f.minor_version = c.be32();
    const uint32_t n = c.left() < sizeof f.compatible_brands ? c.left() : sizeof f.compatible_brands;
    c.copy(f.compatible_brands, n);
}

// The recorder's track descriptions: entries beyond the three slots, or
// beyond the payload, are not read.
void mov_parse_mr00_box(MovWalk &w, MovCursor &c)
{
    const uint32_t declared = c.be32();
    uint32_t n = 0;
    while (n < declared && n < MOV_MAX_TRACKS && c.left() >= MOV_TRACK_META_SIZE) {
        MovCursor e = c.sub(MOV_TRACK_META_SIZE);
        mov_track_meta_t &m = w.ctx->track_meta[n++];
        m = mov_track_meta_t{};
        m.reserved = static_cast<uint8_t>(e.u8());
        m.track_id = static_cast<uint8_t>(e.u8());
        m.codec_id = static_cast<uint8_t>(e.u8());
        m.media_type = static_cast<uint8_t>(e.u8());
        m.creation_time = e.be32();
        m.modification_time = e.be32();
        m.start_time = e.be32();
        m.timescale = e.be32();
        if (m.media_type == VRC_MEDIA_VIDEO) {
            m.u.video.width = e.be32();
            m.u.video.height = e.be32();
        } else {
            m.u.audio.channels = static_cast<uint16_t>(e.be16());
            m.u.audio.bit_width = static_cast<uint16_t>(e.be16());
            m.u.audio.sample_rate = e.be32();
        }
    }
    w.ctx->nr_track_meta = n;
}

void mov_parse_mvhd_box(MovWalk &w, MovCursor &c)
{
    mov_box_mvhd_t &m = w.ctx->mvhd;
    mov_read_full_box(c, &m.version, m.flags);
    m.creation_time = mov_read_date(c, m.version);
    m.modification_time = mov_read_date(c, m.version);
    m.timescale = c.be32();
    m.duration = mov_read_duration(c, m.version);
    m.rate = c.be32();
    m.volume = static_cast<uint16_t>(c.be16());
    c.skip(70);  // reserved, matrix, pre-defined
    m.next_track_id = c.be32();
}

void mov_parse_tkhd_box(MovWalk &w, MovCursor &c)
{
    mov_box_tkhd_t &t = w.track().tkhd;
    mov_read_full_box(c, &t.version, t.flags);
    t.creation_time = mov_read_date(c, t.version);
    t.modification_time = mov_read_date(c, t.version);
    t.track_id = c.be32();
    c.skip(4);
    t.duration = mov_read_duration(c, t.version);
    c.skip(8);
    t.layer = static_cast<uint16_t>(c.be16());
    t.alternate_group = static_cast<uint16_t>(c.be16());
    t.volume = static_cast<uint16_t>(c.be16());
    c.skip(38);  // reserved, matrix
    t.width = c.be32();
    t.height = c.be32();
    if (w.ctx->private_mode) return;
    mov_track_meta_t &meta = w.meta();
    meta.reserved = 0;
    meta.track_id = static_cast<uint8_t>(w.slot());
    meta.creation_time = mov_box_time_to_unix(t.creation_time);
    meta.modification_time = mov_box_time_to_unix(t.modification_time);
    if (t.width != 0) {
        meta.u.video.width = t.width >> 16;
        meta.u.video.height = t.height >> 16;
        meta.media_type = VRC_MEDIA_VIDEO;
    } else {
        meta.media_type = VRC_MEDIA_AUDIO;
    }
}

// The edit list: its first entry into the public record, every entry up to
// the presentation's capacity into the state. Any negative media time is
// an empty edit (only -1 is valid; nothing plays from before the media).
// The rate is not kept: the presentation plays at rate 1.
void mov_parse_elst_box(MovWalk &w, MovCursor &c)
{
    mov_box_elst_t &e = w.track().elst;
    e = mov_box_elst_t{};
    mov_read_full_box(c, &e.version, e.flags);
    e.entry_count = c.be32();
    const bool wide = e.version == 1;
    const uint32_t fit = c.left() / (wide ? 20u : 12u);
    const uint32_t n = e.entry_count < fit ? e.entry_count : fit;
    MovDemuxer *d = mov_demuxer_of(w.ctx);
    MovPresentation *p = d ? &d->tracks[w.slot()].presentation : nullptr;
    if (p) p->count = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t duration = wide ? c.be64() : c.be32();                                        // segment_duration
        const int64_t media_time = wide ? static_cast<int64_t>(c.be64()) : static_cast<int32_t>(c.be32());  // media_time
        const uint32_t rate = c.be32();  // media_rate_integer, media_rate_fraction
        if (i == 0) {
            e.segment_duration = duration > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(duration);
            e.media_time = static_cast<uint32_t>(media_time);
            e.media_rate_integer = static_cast<uint16_t>(rate >> 16);
            e.media_rate_fraction = static_cast<uint16_t>(rate);
        }
        if (p && p->count < MovPresentation::kMaxEdits)
            p->edits[p->count++] = MovEdit{duration, media_time < 0 ? MovEdit::kEmpty : media_time};
    }
}

void mov_parse_mdhd_box(MovWalk &w, MovCursor &c)
{
    mov_box_mdhd_t &m = w.track().mdhd;
    mov_read_full_box(c, &m.version, m.flags);
    m.creation_time = mov_read_date(c, m.version);
    m.modification_time = mov_read_date(c, m.version);
    m.timescale = c.be32();
    m.duration = mov_read_duration(c, m.version);
    m.language = static_cast<uint16_t>(c.be16());
    if (!w.ctx->private_mode) w.meta().timescale = m.timescale;
}

// Only the handler of mdia names the media. QuickTime files carry another
// inside minf, naming how the data is referenced ('dhlr', 'url '): it must
// not turn a sound track into one of no kind.
void mov_parse_hdlr_box(MovWalk &w, MovCursor &c)
{
    if (w.parent != mov_fourcc("mdia")) return;
    mov_box_hdlr_t &h = w.track().hdlr;
    mov_read_full_box(c, &h.version, h.flags);
    c.skip(4);
    h.handler_type = c.fourcc();
    c.skip(12);
    mov_copy_text(c, h.name, sizeof h.name);
    const bool video = h.handler_type == mov_fourcc("vide");
    const bool sound = h.handler_type == mov_fourcc("soun");
    w.track().handler_kind = video ? 0 : sound ? 1 : 2;
    if (!w.ctx->private_mode && (video || sound)) w.meta().media_type = video ? VRC_MEDIA_VIDEO : VRC_MEDIA_AUDIO;
}

void mov_parse_vmhd_box(MovWalk &w, MovCursor &c)
{
    mov_box_vmhd_t &v = w.track().vmhd;
    mov_read_full_box(c, &v.version, v.flags);
    v.graphics_mode = static_cast<uint16_t>(c.be16());
    for (uint16_t &colour : v.opcolor) colour = static_cast<uint16_t>(c.be16());
}

void mov_parse_smhd_box(MovWalk &w, MovCursor &c)
{
    mov_box_smhd_t &s = w.track().smhd;
    mov_read_full_box(c, &s.version, s.flags);
    s.balance = static_cast<uint16_t>(c.be16());
}

void mov_parse_dref_box(MovWalk &w, MovCursor &c)
{
    mov_box_dref_t &d = w.track().dref;
    mov_read_full_box(c, &d.version, d.flags);
    d.entry_count = c.be32();
    mov_copy_text(c, d.entries, sizeof d.entries);
}

// The stsd fields and the header of its first sample entry behind them.
void mov_parse_stsd_box(MovWalk &w, MovCursor &c)
{
    mov_track_t &t = w.track();
    mov_read_full_box(c, &t.stsd.version, t.stsd.flags);
    t.stsd.entry_count = c.be32();
    t.sample_entry_size = c.be32();
    t.sample_entry_type = c.fourcc();
    w.entries = 0;
}

// Every child of stsd is a sample entry, whatever its type: samples name
// their description by its place in the box.
void mov_note_sample_entry(MovWalk &w, uint32_t type)
{
    if (!w.has_slot()) return;
    ++w.entries;
    if (MovDemuxer *d = mov_demuxer_of(w.ctx)) d->tracks[w.slot()].nr_descriptions = w.entries;
    if (MovSampleDescription *desc = w.description()) {
        *desc = MovSampleDescription{};
        desc->type = type;
    }
}

void mov_parse_avc1_box(MovWalk &w, MovCursor &c)
{
    mov_box_video_sample_t v{};
    c.skip(6);
    v.data_reference_index = static_cast<uint16_t>(c.be16());
    c.skip(16);
    v.width = static_cast<uint16_t>(c.be16());
    v.height = static_cast<uint16_t>(c.be16());
    v.horiz_resolution = c.be32();
    v.vert_resolution = c.be32();
    c.skip(4);
    v.frame_count = static_cast<uint16_t>(c.be16());
    c.copy(v.compressor_name, sizeof v.compressor_name);
    v.depth = static_cast<uint16_t>(c.be16());
    const uint32_t codec_id = mov_entry_codec(mov_fourcc("avc1"));
    if (MovSampleDescription *desc = w.description()) {
        desc->codec_id = codec_id;
        desc->width = v.width;
        desc->height = v.height;
    }
    if (!w.first_entry()) return;
    w.track().video_sample = v;
    if (w.ctx->private_mode) return;
    mov_track_meta_t &meta = w.meta();
    meta.media_type = VRC_MEDIA_VIDEO;
    meta.codec_id = static_cast<uint8_t>(codec_id);
    meta.u.video.width = v.width;
    meta.u.video.height = v.height;
}

void mov_parse_mp4a_box(MovWalk &w, MovCursor &c) { mov_parse_audio_sample(w, c, mov_entry_codec(mov_fourcc("mp4a"))); }

void mov_parse_ulaw_box(MovWalk &w, MovCursor &c) { mov_parse_audio_sample(w, c, mov_entry_codec(mov_fourcc("ulaw"))); }

// The public records keep the first SPS and PPS of the first entry, the
// entry's description all of them; every parameter set is stepped over by
// its own length.
void mov_parse_avcc_box(MovWalk &w, MovCursor &c)
{
    MovSampleDescription *desc = w.description();
    mov_keep_config(desc, c);
    mov_box_avcc_t a{};
    a.configuration_version = static_cast<uint8_t>(c.u8());
    a.profile = static_cast<uint8_t>(c.u8());
    a.profile_compatibility = static_cast<uint8_t>(c.u8());
    a.level = static_cast<uint8_t>(c.u8());
    const uint32_t b4 = c.u8();
    a.reserved = static_cast<uint8_t>(b4 >> 2);
    a.length_size_minus_one = static_cast<uint8_t>(b4 & 3u);
    const uint32_t b5 = c.u8();
    a.reserved2 = static_cast<uint8_t>(b5 >> 5);
    a.sps_count = static_cast<uint8_t>(b5 & 31u);
    uint32_t sps_len = 0, pps_len = 0, len = 0;
    const uint8_t *sps = nullptr, *pps = nullptr, *data = nullptr;
    for (uint32_t i = 0; i < a.sps_count && mov_read_param_set(c, &len, &data); ++i) {
        if (i == 0) sps_len = len, sps = data;
        mov_add_param_set(desc, data, len);
    }
    a.pps_count = static_cast<uint8_t>(c.u8());
    for (uint32_t i = 0; i < a.pps_count && mov_read_param_set(c, &len, &data); ++i) {
        if (i == 0) pps_len = len, pps = data;
        mov_add_param_set(desc, data, len);
    }
    if (!w.first_entry()) return;
    mov_keep_param_set(&a.sps_length, a.sps, sps_len, sps);
    mov_keep_param_set(&a.pps_length, a.pps, pps_len, pps);
    w.track().avcc = a;
    if (w.ctx->private_mode) return;
    mov_param_sets_t &p = w.ctx->param_sets;
    mov_keep_param_set(&p.seq_param_len, p.seq_param, sps_len, sps);
    mov_keep_param_set(&p.pic_param_len, p.pic_param, pps_len, pps);
}

// The ES descriptor chain: ES descriptor (3), decoder configuration (4),
// decoder specific information (5); other descriptors end the walk.
void mov_parse_esds_box(MovWalk &w, MovCursor &c)
{
    mov_box_esds_t e{};
    mov_read_full_box(c, &e.version, e.flags);
    MovCursor chain = c;
    while (chain.left() >= 2) {
        const uint32_t tag = chain.u8();
        MovCursor body = chain.sub(mov_descriptor_length(chain));
        if (tag == 3) {
            e.es_id = static_cast<uint8_t>(body.be16());
            e.es_flags = static_cast<uint8_t>(body.u8());
            if (e.es_flags & 0x80u) body.skip(2);         // depends on ES ID
            if (e.es_flags & 0x40u) body.skip(body.u8());  // URL
            if (e.es_flags & 0x20u) body.skip(2);         // OCR ES ID
        } else if (tag == 4) {
            e.object_type = static_cast<uint8_t>(body.u8());
            e.stream_type = static_cast<uint8_t>(body.u8());
            body.skip(3);  // buffer size
            e.max_bitrate = body.be32();
            e.avg_bitrate = body.be32();
        } else if (tag == 5) {
            MovCursor first = body;
            const uint32_t v = first.be16();
            e.dsi[0] = v & 3u;
            e.dsi[1] = (v >> 2) & 15u;
            e.dsi[2] = (v >> 6) & 1u;
            e.dsi[3] = v >> 7;
            mov_audio_config_t config{};
            mov_apply_audio_config(w, body, mov_parse_audio_specific_config(body, &config), config);
            if (w.first_entry()) w.track().audio_config = config;
            break;
        } else {
            break;
        }
        chain = body;  // the nested descriptors follow the fixed fields
    }
    if (w.first_entry()) w.track().esds = e;
}

}  // namespace vrc
