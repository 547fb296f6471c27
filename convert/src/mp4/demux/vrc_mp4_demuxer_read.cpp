// Frame delivery and seeking. Frames come out as the library exchanges
// them: H.264 as Annex B with the parameter sets of the frame's own
// description in front of key frames, AAC behind an ADTS header, mu-law
// raw, timestamps in milliseconds; the frame's times in its track's units
// stay with the context's state.
#include <cstdio>
#include <cstring>

#include "vrc_codec.h"
#include "vrc_debug.h"
#include "vrc_mp4_demuxer_internal.h"
#include "vrc_mp4_h264.h"

namespace {

using namespace vrc;

constexpr uint32_t kAdtsProfileLc = 1;  // ADTS profile: object type minus 1

// Hosts match these lines: keep the wording.
void log_buffer_too_small() { vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "frame buffer too small!\n"); }
void log_seek_outside(uint32_t utctime, uint32_t creation_time)
{
    vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__, "utctime=%u, creation_time=%u\n", utctime, creation_time);
}
void log_seek_failed(vrc_date_time_t when)
{
    vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "SEEK to %llu failed!\n", static_cast<unsigned long long>(when));
}

// Frames of a track without a description are delivered raw, undescribed.
const mov_track_meta_t kNoTrack{};

// The frame about to be delivered.
struct MovFrame {
    mov_frame_info_t info;
    uint32_t record_size;  // private mode: bytes to the next mr01 record
    MovSampleTime time;
    const uint8_t *sets;   // a key frame's parameter sets in Annex B
    uint32_t sets_size;
    uint8_t own_sets[2 * (H264_START_CODE_SIZE + MOV_PARAM_SET_CAPACITY)];  // those of mr02, or of the public records
};

// The frame takes the parameter sets of mr02 or of the first avcC (each
// left out when absent).
void mov_use_param_sets(MovFrame *fr, const mov_param_sets_t &sets)
{
    uint8_t *end = mov_put_param_set(fr->own_sets, sets.seq_param, sets.seq_param_len);
    end = mov_put_param_set(end, sets.pic_param, sets.pic_param_len);
    fr->sets = fr->own_sets;
    fr->sets_size = static_cast<uint32_t>(end - fr->own_sets);
}

const mov_track_meta_t &mov_frame_meta(const vrc_mp4_demuxer_t *ctx, uint32_t track_id)
{
    return track_id < MOV_MAX_TRACKS ? ctx->track_meta[track_id] : kNoTrack;
}

bool mov_seek_to(vrc_mp4_demuxer_t *ctx, uint64_t pos)
{
    return vrc_uri_io_file_seek(ctx->pb, static_cast<int64_t>(pos), SEEK_SET) == static_cast<int64_t>(pos);
}

// The mr02 parameter sets; a length beyond its array is not trusted.
void mov_read_mr02(vrc_uri_io_file_t *pb, mov_param_sets_t *sets)
{
    vrc_uri_io_file_rb32(pb);  // size
    vrc_uri_io_file_rl32(pb);  // type
    const uint32_t seq_len = vrc_uri_io_file_rb16(pb);
    const uint32_t pic_len = vrc_uri_io_file_rb16(pb);
    vrc_uri_io_file_read(pb, sets->seq_param, MOV_PARAM_SET_CAPACITY);
    vrc_uri_io_file_read(pb, sets->pic_param, MOV_PARAM_SET_CAPACITY);
    sets->seq_param_len = static_cast<uint16_t>(seq_len <= MOV_PARAM_SET_CAPACITY ? seq_len : 0);
    sets->pic_param_len = static_cast<uint16_t>(pic_len <= MOV_PARAM_SET_CAPACITY ? pic_len : 0);
}

// How the codec's frames travel, from the codec table; 0 for a track of no
// codec the library reads (or of the other media type than its codec's).
uint8_t mov_frame_type(const mov_track_meta_t &meta, bool key_frame)
{
    const CodecRow *codec = codec_by_id(meta.codec_id);
    if (!codec || codec->media_type != meta.media_type) return 0;
    return key_frame ? codec->key_frame_type : codec->frame_type;
}

// Private mode: the mr01 record at read_pos, and the mr02 record behind it
// for an H.264 key frame. The file is left at the sample. A record whose
// size does not cover its own records and sample ends the reading.
int mov_next_private_frame(vrc_mp4_demuxer_t *ctx, MovFrame *fr)
{
    if (ctx->read_pos == 0) ctx->read_pos = ctx->mdat_pos;
    if (!mov_seek_to(ctx, ctx->read_pos)) return VRC_ERR_MP4_NO_FRAME_RECORD;
    const uint32_t size = vrc_uri_io_file_rb32(ctx->pb);
    if (vrc_uri_io_file_rl32(ctx->pb) != mov_fourcc("mr01")) return VRC_ERR_MP4_NO_FRAME_RECORD;
    const uint32_t w0 = vrc_uri_io_file_rb32(ctx->pb);
    const uint32_t w1 = vrc_uri_io_file_rb32(ctx->pb);
    fr->info = mov_frame_decode(w0, w1, vrc_uri_io_file_rb32(ctx->pb));
    uint64_t needed = uint64_t{MOV_MR01_SIZE} + fr->info.size;
    if (fr->info.key_frame && mov_has_param_sets(mov_frame_meta(ctx, fr->info.track_id))) {
        mov_param_sets_t sets{};
        mov_read_mr02(ctx->pb, &sets);
        mov_use_param_sets(fr, sets);
        needed += MOV_MR02_SIZE;
    }
    if (size < needed || uint64_t{ctx->read_pos} + size > UINT32_MAX) {
        vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__, "frame record at %u declares %u bytes: reading ends\n",
                    ctx->read_pos, size);
        return VRC_ERR_MP4_NO_FRAME_RECORD;
    }
    fr->record_size = size;
    fr->time = MovSampleTime{fr->info.timestamp, 0, 0, 0};
    return 0;
}

// A key frame's parameter sets: its description's; those of the public
// records when its description has none, or the context no descriptions.
void mov_table_frame_sets(const vrc_mp4_demuxer_t *ctx, MovFrame *fr)
{
    const MovSampleDescription *desc =
        mov_demuxer_description(ctx, fr->info.track_id, fr->time.description);
    if (desc && desc->param_sets_size) {
        fr->sets = desc->param_sets;
        fr->sets_size = desc->param_sets_size;
    } else {
        mov_use_param_sets(fr, ctx->param_sets);
    }
}

}  // namespace

bool vrc::mov_next_is_audio(const vrc_mp4_demuxer_t *ctx)
{
    const bool video_left = ctx->video_index < mov_entry_count(ctx, MOV_TABLE_VIDEO);
    const bool audio_left = ctx->audio_index < mov_entry_count(ctx, MOV_TABLE_AUDIO);
    return audio_left && (!video_left || mov_entry(ctx, MOV_TABLE_VIDEO, ctx->video_index).pos >=
                                             mov_entry(ctx, MOV_TABLE_AUDIO, ctx->audio_index).pos);
}

namespace {

// Table mode: the next entry of the two indexes. The file is left at the
// sample.
int mov_next_table_frame(vrc_mp4_demuxer_t *ctx, MovFrame *fr)
{
    if (ctx->video_index >= mov_entry_count(ctx, MOV_TABLE_VIDEO) &&
        ctx->audio_index >= mov_entry_count(ctx, MOV_TABLE_AUDIO))
        return -1;
    const bool audio = mov_next_is_audio(ctx);
    const uint32_t i = audio ? ctx->audio_index++ : ctx->video_index++;
    const MovEntry e = mov_entry(ctx, audio ? MOV_TABLE_AUDIO : MOV_TABLE_VIDEO, i);
    fr->info = e.info;
    fr->time = e.time;
    if (e.info.key_frame) mov_table_frame_sets(ctx, fr);
    mov_seek_to(ctx, e.pos);
    return 0;
}

// Bytes put in front of the sample: parameter sets of a key frame, or the
// ADTS header.
uint32_t mov_prefix_size(uint8_t frame_type, const MovFrame &fr)
{
    if (frame_type == VRC_FRAME_I) return fr.sets_size;
    return frame_type == VRC_FRAME_AUDIO_ADTS ? MOV_ADTS_HEADER_SIZE : 0;
}

// The ADTS header of an AAC frame of `frame_len` bytes, header included.
// Private mode describes the audio by its mr00 entry; table mode by the
// AudioSpecificConfig of esds when there is one, else by the sample entry.
void mov_put_adts_header(uint8_t *out, const vrc_mp4_demuxer_t *ctx, uint32_t t, uint32_t frame_len)
{
    const mov_track_meta_t &meta = mov_frame_meta(ctx, t);
    uint32_t profile = kAdtsProfileLc;
    uint32_t s = adts_get_sampling_index(meta.u.audio.sample_rate);
    uint32_t ch = meta.u.audio.channels;
    if (!ctx->private_mode && t < MOV_MAX_TRACKS && ctx->tracks[t].audio_config.present) {
        const mov_audio_config_t &cfg = ctx->tracks[t].audio_config;
        if (cfg.object_type >= 1 && cfg.object_type <= 4) profile = cfg.object_type - 1u;
        s = cfg.sampling_index;
        ch = cfg.channels;
    }
    out[0] = 0xFF;
    out[1] = 0xF1;  // sync word end, MPEG-4, layer 0, no CRC
    out[2] = static_cast<uint8_t>(profile << 6 | ((s << 2) & 0x3Cu) | ((ch >> 2) & 1u));
    out[3] = static_cast<uint8_t>(((ch << 6) & 0xC0u) | ((frame_len >> 11) & 3u));
    out[4] = static_cast<uint8_t>((frame_len >> 3) & 0xFFu);
    out[5] = static_cast<uint8_t>(((frame_len << 5) & 0xE0u) | 0x1Fu);
    out[6] = 0xFC;  // buffer fullness 0x7FF, one raw data block
}

// Reads the sample; false when the file does not hold it whole. Its missing
// tail is zeroed and reported, so no byte of an earlier frame remains.
bool mov_read_sample(vrc_mp4_demuxer_t *ctx, uint8_t *dst, uint32_t n)
{
    const int got = n ? vrc_uri_io_file_read(ctx->pb, dst, static_cast<int>(n)) : 0;
    const uint32_t have = got > 0 ? static_cast<uint32_t>(got) : 0;
    if (have >= n) return true;
    std::memset(dst + have, 0, n - have);
    vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__, "sample cut short: %u of %u bytes read, the rest zeroed\n", have, n);
    return false;
}

void mov_fill_packet(vrc_media_packet_t *pkt, const mov_track_meta_t &meta, const MovFrame &fr, uint8_t frame_type,
                     uint8_t *buf, uint32_t size)
{
    *pkt = vrc_media_packet_t{};
    pkt->data = buf;
    pkt->size = size;
    pkt->track_id = static_cast<uint8_t>(fr.info.track_id);
    pkt->media_type = meta.media_type;
    pkt->codec_id = meta.codec_id;
    pkt->frame_type = frame_type;
    pkt->timestamp = fr.info.timestamp;
    pkt->key_frame = static_cast<uint8_t>(fr.info.key_frame);
    pkt->utctime = meta.creation_time + (fr.info.timestamp - meta.start_time) / 1000u;
}

// Seek: file position of the private records in front of a sample.
uint32_t calc_real_offset(int with_params, uint32_t sample_pos)
{
    return sample_pos - (with_params ? MOV_MR01_SIZE + MOV_MR02_SIZE : MOV_MR01_SIZE);
}

// The key frame at or before the target (the first one when all lie after
// it); the video's count when the index holds no key frame.
uint32_t mov_find_key_frame(const vrc_mp4_demuxer_t *ctx, uint64_t target)
{
    const uint32_t n = mov_entry_count(ctx, MOV_TABLE_VIDEO);
    uint32_t chosen = n;
    for (uint32_t i = 0; i < n; ++i) {
        const mov_frame_info_t f = mov_entry(ctx, MOV_TABLE_VIDEO, i).info;
        if (!f.key_frame) continue;
        if (f.timestamp > target) return chosen < n ? chosen : i;
        chosen = i;
        if (f.timestamp == target) break;
    }
    return chosen;
}

// The first audio frame not before the target; the end of the audio when
// every frame lies before it.
uint32_t mov_find_audio_frame(const vrc_mp4_demuxer_t *ctx, uint64_t target)
{
    const uint32_t n = mov_entry_count(ctx, MOV_TABLE_AUDIO);
    for (uint32_t i = 0; i < n; ++i)
        if (mov_entry(ctx, MOV_TABLE_AUDIO, i).info.timestamp >= target) return i;
    return n;
}

// The calendar time of `when` in the zone the context applies.
uint32_t mov_seek_utctime(const vrc_mp4_demuxer_t *ctx, vrc_date_time_t when)
{
    const vrc_date_time_t zone_bits = (vrc_date_time_t{0xFFFF} << VRC_DT_TZ_SHIFT) |
                                      (vrc_date_time_t{1} << VRC_DT_TZ_WEST_SHIFT) |
                                      (vrc_date_time_t{1} << VRC_DT_DST_SHIFT);
    const vrc_date_time_t zone = (vrc_date_time_t{ctx->tz & 0xFFFFu} << VRC_DT_TZ_SHIFT) |
                                 (vrc_date_time_t{ctx->tz_west ? 1u : 0u} << VRC_DT_TZ_WEST_SHIFT) |
                                 (vrc_date_time_t{ctx->dst ? 1u : 0u} << VRC_DT_DST_SHIFT);
    return static_cast<uint32_t>(vrc_date_time_to_gmtime((when & ~zone_bits) | zone));
}

}  // namespace

bool vrc::mov_has_param_sets(const mov_track_meta_t &meta)
{
    const CodecRow *codec = codec_by_id(meta.codec_id);
    return codec && codec->param_sets;
}

uint8_t *vrc::mov_put_param_set(uint8_t *out, const uint8_t *data, uint32_t len)
{
    if (len == 0) return out;
    std::memcpy(out, H264_START_CODE, H264_START_CODE_SIZE);
    std::memcpy(out + H264_START_CODE_SIZE, data, len);
    return out + H264_START_CODE_SIZE + len;
}

int vrc::mov_demuxer_read_frame(vrc_mp4_demuxer_t *ctx, vrc_media_packet_t *pkt, uint8_t *buf, int buf_size,
                                uint32_t *needed)
{
    *needed = 0;
    if (!ctx || !ctx->pb || !pkt || !buf) return -1;
    MovFrame fr{};
    const int rc = ctx->private_mode ? mov_next_private_frame(ctx, &fr) : mov_next_table_frame(ctx, &fr);
    if (rc != 0) return rc;
    const mov_track_meta_t &meta = mov_frame_meta(ctx, fr.info.track_id);
    const uint8_t frame_type = mov_frame_type(meta, fr.info.key_frame);
    const uint32_t n = fr.info.size;
    const uint32_t prefix = mov_prefix_size(frame_type, fr);
    if (buf_size < 0 || static_cast<uint64_t>(buf_size) < uint64_t{prefix} + n) {
        *needed = prefix + n;
        return -1;
    }
    if (frame_type == VRC_FRAME_I) {
        if (fr.sets_size) std::memcpy(buf, fr.sets, fr.sets_size);
    } else if (frame_type == VRC_FRAME_AUDIO_ADTS) {
        mov_put_adts_header(buf, ctx, fr.info.track_id, prefix + n);
    }
    // A recording's last frame cut off by the end of the file ends its
    // reading: the records say which frames are whole.
    if (!mov_read_sample(ctx, buf + prefix, n) && ctx->private_mode) return VRC_ERR_MP4_NO_FRAME_RECORD;
    if (frame_type == VRC_FRAME_I || frame_type == VRC_FRAME_P) h264_lengths_to_start_codes(buf + prefix, n);
    mov_fill_packet(pkt, meta, fr, frame_type, buf, prefix + n);
    if (ctx->private_mode) ctx->read_pos += fr.record_size;
    if (MovDemuxer *d = mov_demuxer_of(ctx)) {
        d->delivered = fr.time;
        d->has_delivered = true;
    }
    return 0;
}

extern "C" VRC_API int vrc_mp4_demuxer_read_packet(vrc_mp4_demuxer_t *ctx, vrc_media_packet_t *pkt, uint8_t *buf,
                                                   int buf_size)
{
    uint32_t needed = 0;
    const int rc = mov_demuxer_read_frame(ctx, pkt, buf, buf_size, &needed);
    if (needed) log_buffer_too_small();
    return rc;
}

extern "C" VRC_API int vrc_mp4_demuxer_seek(vrc_mp4_demuxer_t *ctx, vrc_date_time_t when)
{
    if (!ctx) return -1;
    const uint32_t utctime = mov_seek_utctime(ctx, when);
    const uint32_t creation_time = ctx->track_meta[0].creation_time;
    const int32_t delta = static_cast<int32_t>(utctime - creation_time);
    if (delta < 0 || static_cast<uint32_t>(delta) > ctx->duration) {
        log_seek_outside(utctime, creation_time);
        return -1;
    }
    const uint32_t videos = mov_entry_count(ctx, MOV_TABLE_VIDEO);
    const uint32_t first = videos ? mov_entry(ctx, MOV_TABLE_VIDEO, 0).info.timestamp : 0;
    const uint64_t target = uint64_t{first} + uint64_t(delta) * 1000u;
    const uint32_t key = mov_find_key_frame(ctx, target);
    ctx->video_index = key < videos ? key : 0;
    ctx->audio_index = mov_find_audio_frame(ctx, target);
    if (key >= videos) {
        log_seek_failed(when);
        return -1;
    }
    // Private mode reads through the records, which lie below 4 GiB.
    ctx->read_pos = calc_real_offset(1, static_cast<uint32_t>(mov_entry(ctx, MOV_TABLE_VIDEO, key).pos));
    return 0;
}
