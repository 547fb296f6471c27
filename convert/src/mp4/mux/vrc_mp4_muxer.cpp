// The muxer context, the file head (ftyp, free, mr00, mdat header) and packet
// writing. The tail (moov) lives in vrc_mp4_muxer_moov.cpp.
#include "vrc_mp4_muxer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "vrc_debug.h"
#include "vrc_mem.h"
#include "vrc_mp4_box_writer.h"
#include "vrc_mp4_h264.h"
#include "vrc_mp4_muxer_internal.h"
#include "vrc_platform.h"
#include "vrc_time.h"
#include "vrc_uri_io_block.h"

extern "C" VRC_API int64_t vrc_clock_monotonic_get(void)
{
    vrc_timeval_t tv{};
    vrc_gettimeofday(&tv);
    return tv.tv_sec * 1000 + tv.tv_usec / 1000;
}

namespace {

using vrc::BoxScope;
using vrc::BoxWriter;
using vrc::mov_fourcc;

constexpr uint32_t kFtypSize = 24;
constexpr uint32_t kFreeSize = 8;
constexpr uint32_t kBitrateIntervalSeconds = 2;

// Zone values recorded in the frame records of video frames: fixed, the
// recorder's own zone, not the host's.
int32_t vrc_time_get_timezone() { return -28800; }
int32_t vrc_time_get_daylight() { return 0; }

// ---- file head ----------------------------------------------------------

void vrc_mp4_write_ftyp(BoxWriter &w)
{
    BoxScope box(w, mov_fourcc("ftyp"), kFtypSize);
    w.type(mov_fourcc("mp42"));  // major brand
    w.u32(0);                    // minor version
    w.type(mov_fourcc("mp42"));  // compatible brand
    w.type(mov_fourcc("isom"));  // compatible brand
}

void vrc_mp4_write_free(BoxWriter &w, uint32_t size)
{
    BoxScope box(w, mov_fourcc("free"), size);
    w.zeros(size - MOV_BOX_ATOM_SIZE);  // no payload
}

// The time pair is the muxer's own, the same for every track.
mov_track_meta_t vrc_mp4_muxer_track_meta(const vrc_mp4_muxer_t &m, uint32_t slot)
{
    const vrc_track_info_t &track = m.tracks[slot];
    mov_track_meta_t meta{};
    meta.track_id = static_cast<uint8_t>(track.track_id);
    meta.codec_id = static_cast<uint8_t>(track.codec_id);
    meta.media_type = static_cast<uint8_t>(track.media_type);
    meta.creation_time = m.creation_time;
    meta.modification_time = m.creation_time;
    meta.start_time = m.start_time;
    meta.timescale = track.timescale;
    if (meta.media_type == VRC_MEDIA_VIDEO) {
        meta.u.video.width = track.width;
        meta.u.video.height = track.height;
    } else {
        meta.u.audio.channels = static_cast<uint16_t>(track.channels);
        meta.u.audio.bit_width = static_cast<uint16_t>(track.bitwidth);
        meta.u.audio.sample_rate = track.sample_rate;
    }
    return meta;
}

void vrc_mp4_write_track_meta(BoxWriter &w, const mov_track_meta_t &meta)
{
    w.u8(meta.reserved);            // reserved
    w.u8(meta.track_id);            // track_id
    w.u8(meta.codec_id);            // codec_id
    w.u8(meta.media_type);          // media_type
    w.u32(meta.creation_time);      // creation_time
    w.u32(meta.modification_time);  // modification_time
    w.u32(meta.start_time);         // start_time
    w.u32(meta.timescale);          // timescale
    if (meta.media_type == VRC_MEDIA_VIDEO) {
        w.u32(meta.u.video.width);   // width
        w.u32(meta.u.video.height);  // height
    } else {
        w.u16(meta.u.audio.channels);     // channels
        w.u16(meta.u.audio.bit_width);    // bit_width
        w.u32(meta.u.audio.sample_rate);  // sample_rate
    }
    w.bytes(meta.reserved2, sizeof meta.reserved2);  // reserved
}

// Writes the mr00 box and returns its size.
uint32_t vrc_mp4_muxer_write_meta_data0(BoxWriter &w, const vrc_mp4_muxer_t &m)
{
    const uint32_t size = vrc::MOV_MR00_HEADER_SIZE + vrc::MOV_TRACK_META_SIZE * m.nr_tracks;
    BoxScope box(w, mov_fourcc("mr00"), size);
    w.u32(m.nr_tracks);  // entry count
    for (uint32_t slot = 0; slot < m.nr_tracks; ++slot)
        vrc_mp4_write_track_meta(w, vrc_mp4_muxer_track_meta(m, slot));
    return size;
}

// ---- private records in front of a frame --------------------------------

void vrc_mp4_write_mr02(BoxWriter &w, const mov_param_sets_t &sets)
{
    w.u32(vrc::MOV_MR02_DECLARED_SIZE);              // size: the payload only
    w.type(mov_fourcc("mr02"));                      // type
    w.u16(sets.seq_param_len);                       // seq_param_len
    w.u16(sets.pic_param_len);                       // pic_param_len
    w.bytes(sets.seq_param, sizeof sets.seq_param);  // seq_param, the whole array
    w.bytes(sets.pic_param, sizeof sets.pic_param);  // pic_param, the whole array
}

void vrc_mp4_muxer_write_mdat_private_data(BoxWriter &w, const vrc_mp4_muxer_t &m, const mov_frame_info_t &f)
{
    const bool has_param_sets = vrc::mov_frame_has_param_sets(m, f.key_frame, f.track_id);
    const uint32_t unit_size = f.size + vrc::MOV_MR01_SIZE + (has_param_sets ? vrc::MOV_MR02_SIZE : 0);
    w.u32(unit_size);                 // size of the whole frame unit
    w.type(mov_fourcc("mr01"));       // type
    w.u32(vrc::mov_frame_word0(f));   // word 0: size
    w.u32(vrc::mov_frame_word1(f));   // word 1: seq8, track, key frame, zone
    w.u32(f.timestamp);               // word 2: timestamp
    if (has_param_sets) vrc_mp4_write_mr02(w, vrc::mov_param_sets_of(m.tracks[f.track_id]));
}

// ---- packets ------------------------------------------------------------

// What a packet becomes in mdat, worked out once before anything is written.
struct PacketPlan {
    vrc::H264FrameLayout video{};     // video packets
    const uint8_t *audio = nullptr;   // audio packets: the bytes written
    uint32_t sample_size = 0;
    uint32_t private_bytes = 0;       // mr01 and mr02 in front of the sample
    bool key_frame = false;
    mov_param_sets_t sets{};          // video: the parameter sets the frame decodes with
    uint32_t description = 0;         // and their sample description (nr_descriptions: a new one)
    bool sets_in_band = false;        // the key frame's sample carries them in front of its slices
    bool descriptions_full = false;   // they would need a description beyond the last one
    uint32_t set_too_long = 0;        // bytes of a parameter set too long to keep; 0: none
    vrc::MovRefusal refusal{};        // why the packet cannot be written
};

// Notes why the packet is refused; full: the file itself has no room left.
int refuse(PacketPlan *plan, bool full, const char *format, ...) VRC_PRINTF_FORMAT(3, 4);
int refuse(PacketPlan *plan, bool full, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(plan->refusal.reason, sizeof plan->refusal.reason, format, args);
    va_end(args);
    plan->refusal.full = full;
    return VRC_ERR_FRAME_REFUSED;
}

bool is_video(const vrc_media_packet_t &p) { return p.media_type == VRC_MEDIA_VIDEO; }

bool packet_present(const vrc_media_packet_t *p) { return p && (p->data || p->size == 0); }

// The sample size of the packet, or false (logged) when it has none.
bool plan_sample(const vrc_media_packet_t &p, PacketPlan *plan, uint64_t *sample_size)
{
    if (is_video(p)) {
        plan->video = vrc::h264_frame_layout(p.data, p.size);
        plan->key_frame = p.frame_type == VRC_FRAME_I;
        *sample_size = plan->video.sample_size;
        return true;
    }
    if (p.frame_type != VRC_FRAME_AUDIO_ADTS) {
        plan->audio = p.data;
        *sample_size = p.size;
        return true;
    }
    if (p.size < vrc::MOV_ADTS_HEADER_SIZE) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "track %d adts frame of %u bytes has no room for its header!\n",
                    p.track_id, p.size);
        return false;
    }
    plan->audio = p.data + vrc::MOV_ADTS_HEADER_SIZE;
    *sample_size = p.size - vrc::MOV_ADTS_HEADER_SIZE;
    return true;
}

// A parameter set that fits the record replaces the one it holds; a longer
// one is not stored (the previous one stays) and is reported once per track.
void take_param_set(const vrc::NalUnit &nal, uint8_t *buffer, uint16_t *length, uint32_t *too_long)
{
    if (nal.size == 0) return;
    if (nal.size > MOV_PARAM_SET_CAPACITY) {
        *too_long = nal.size;
        return;
    }
    std::memcpy(buffer, nal.data, nal.size);
    std::memset(buffer + nal.size, 0, MOV_PARAM_SET_CAPACITY - nal.size);
    *length = static_cast<uint16_t>(nal.size);
}

bool same_param_sets(const mov_param_sets_t &a, const mov_param_sets_t &b)
{
    return a.seq_param_len == b.seq_param_len && a.pic_param_len == b.pic_param_len &&
           std::memcmp(a.seq_param, b.seq_param, a.seq_param_len) == 0 &&
           std::memcmp(a.pic_param, b.pic_param, a.pic_param_len) == 0;
}

// The parameter sets a video frame decodes with: the current ones, with
// those the frame carries in front of its slices. A key frame whose sets
// differ from the current description's, once that has a key frame of its
// own, opens a new description, and from the second description on key
// frames carry their sets in band as well, for decoders that read only the
// first description. Returns the bytes the in-band sets add to the sample.
uint32_t plan_description(const vrc_mp4_muxer_t &m, PacketPlan *plan)
{
    const vrc_track_info_t &track = m.tracks[0];
    plan->sets.seq_param_len = static_cast<uint16_t>(track.seq_params_len);
    plan->sets.pic_param_len = static_cast<uint16_t>(track.pic_params_len);
    std::memcpy(plan->sets.seq_param, track.seq_params, MOV_PARAM_SET_CAPACITY);
    std::memcpy(plan->sets.pic_param, track.pic_params, MOV_PARAM_SET_CAPACITY);
    take_param_set(plan->video.sps, plan->sets.seq_param, &plan->sets.seq_param_len, &plan->set_too_long);
    take_param_set(plan->video.pps, plan->sets.pic_param, &plan->sets.pic_param_len, &plan->set_too_long);
    plan->description = m.nr_descriptions != 0 ? m.current_description : 0;
    if (!plan->key_frame || m.nr_descriptions == 0) return 0;
    if (m.description_keyed && !same_param_sets(plan->sets, m.descriptions[plan->description])) {
        plan->description = m.nr_descriptions;  // an earlier one, else a new one
        for (uint32_t d = 0; d < m.nr_descriptions; ++d)
            if (same_param_sets(plan->sets, m.descriptions[d])) plan->description = d;
        plan->descriptions_full = plan->description == vrc::MOV_MAX_DESCRIPTIONS;
        if (plan->descriptions_full) plan->description = m.current_description;
    }
    plan->sets_in_band = m.nr_descriptions > 1 || plan->description == m.nr_descriptions;
    if (!plan->sets_in_band) return 0;
    return 8 + plan->sets.seq_param_len + plan->sets.pic_param_len;
}

// The recorder's own files (private records on) keep its documented
// ceilings; any other file is bounded by the frame table alone.
uint32_t frame_limit(const vrc_mp4_muxer_t &m)
{
    return m.private_enable ? VRC_MUXER_MAX_FRAMES : m.table.capacity;
}

// The muxer's checks of a packet: 0 when it may be written, else -3, or -5
// for a video frame without a slice (logged).
int vrc_mp4_muxer_plan_packet(const vrc_mp4_muxer_t &m, const vrc_media_packet_t &p, PacketPlan *plan)
{
    const uint32_t t = p.track_id;
    if (t >= m.nr_tracks) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "track_id error %d >= %d!\n", p.track_id, m.nr_tracks);
        return VRC_ERR_FRAME_REFUSED;
    }
    if (m.private_enable && m.nr_avframes[t] >= VRC_MUXER_MAX_TRACK_FRAMES) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "track frames exceed max number %d\n", VRC_MUXER_MAX_TRACK_FRAMES);
        return refuse(plan, true, "the %s track is full (%u frames per track)", is_video(p) ? "video" : "audio",
                      unsigned{VRC_MUXER_MAX_TRACK_FRAMES});
    }
    if (m.nr_frames >= frame_limit(m)) {
        vrc_log_msg(VRC_LOG_DEBUG, __FILE__, __LINE__, "AV frames exceed max number %u!\n", frame_limit(m));
        return refuse(plan, true, "the file is full (%u frames)", frame_limit(m));
    }
    uint64_t sample_size = 0;
    if (!plan_sample(p, plan, &sample_size))
        return refuse(plan, false, "an AAC frame of %u bytes has no room for its header", p.size);
    // A damaged start code hides every slice: an empty sample would play as
    // nothing, and the bytes as they are would feed a decoder a bogus unit.
    if (is_video(p) && sample_size == 0) {
        vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__, "track %d video frame of %u bytes holds no slice: dropped\n",
                    p.track_id, p.size);
        return VRC_ERR_FRAME_EMPTY;
    }
    if (is_video(p)) sample_size += plan_description(m, plan);
    if (sample_size > VRC_MUXER_MAX_SAMPLE_SIZE) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "track %d sample of %llu bytes exceeds the max sample size %d!\n",
                    p.track_id, static_cast<unsigned long long>(sample_size), VRC_MUXER_MAX_SAMPLE_SIZE);
        return refuse(plan, false, "a frame of %llu bytes is larger than a sample can be (%u bytes)",
                      static_cast<unsigned long long>(sample_size), unsigned{VRC_MUXER_MAX_SAMPLE_SIZE});
    }
    plan->sample_size = static_cast<uint32_t>(sample_size);
    plan->private_bytes = vrc::mov_private_bytes(m, plan->key_frame, t);
    const uint64_t mdat_end = m.mdat_size + plan->private_bytes + plan->sample_size;
    if (m.private_enable && m.mdat_offset + mdat_end > vrc::MOV_MAX_FILE_OFFSET) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "track %d frame would end at byte %llu, beyond 32-bit offsets!\n",
                    p.track_id, static_cast<unsigned long long>(m.mdat_offset + mdat_end));
        return refuse(plan, true, "its frames would end past 4 GiB (32-bit chunk offsets)");
    }
    if (m.mdat_size_fixed == 0) return 0;
    if (mdat_end > m.mdat_size_fixed) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__,
                    "mdat small, mdat_szie %d, frame size %d, need_space %d, mdat_size_fixed %d!\n",
                    static_cast<int>(m.mdat_size),
                    plan->sample_size, plan->private_bytes, m.mdat_size_fixed);
        return refuse(plan, true, "its pre-sized mdat is full (%u bytes)", m.mdat_size_fixed);
    }
    return 0;
}

// The frame's parameter sets become the track's current ones, in the
// description it belongs to (a new one, or the last one still open).
void keep_description(vrc_mp4_muxer_t &m, const PacketPlan &plan)
{
    vrc_track_info_t &track = m.tracks[0];
    if (plan.set_too_long != 0 && !m.param_set_warned[0])
        vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__, "track %d parameter set of %u bytes exceeds %u, previous one kept\n",
                    0, plan.set_too_long, MOV_PARAM_SET_CAPACITY);
    if (plan.set_too_long != 0) m.param_set_warned[0] = 1;
    track.seq_params_len = plan.sets.seq_param_len;
    track.pic_params_len = plan.sets.pic_param_len;
    std::memcpy(track.seq_params, plan.sets.seq_param, MOV_PARAM_SET_CAPACITY);
    std::memcpy(track.pic_params, plan.sets.pic_param, MOV_PARAM_SET_CAPACITY);
    if (plan.descriptions_full && !m.description_warned) {
        vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__, "track 0: more than %u picture formats, later ones not described\n",
                    vrc::MOV_MAX_DESCRIPTIONS);
        m.description_warned = 1;
    }
    if (m.nr_descriptions == 0 || plan.description == m.nr_descriptions) {
        m.descriptions[m.nr_descriptions++] = plan.sets;
        m.description_keyed = 0;
    }
    m.current_description = plan.description;
    // Until its first key frame the description follows the sets it meets.
    if (!m.description_keyed) m.descriptions[m.current_description] = plan.sets;
    if (plan.key_frame) m.description_keyed = 1;
    m.table.description_of[m.nr_frames] = static_cast<uint8_t>(m.current_description);
}

mov_frame_info_t frame_record(const vrc_media_packet_t &p, const PacketPlan &plan, uint32_t stamp)
{
    mov_frame_info_t f{};
    f.size = plan.sample_size & 0xFFFFFFu;
    f.timestamp = stamp;
    f.seq8 = p.seq & 0xFFu;
    f.track_id = p.track_id & 3u;
    if (is_video(p)) {
        f.key_frame = plan.key_frame ? 1u : 0u;
        f.timezone = static_cast<uint32_t>(vrc_time_get_timezone()) & 0x1FFFFu;
        f.daylight = static_cast<uint32_t>(vrc_time_get_daylight()) & 1u;
    }
    return f;
}

void update_track_times(vrc_mp4_muxer_t &m, const vrc_media_packet_t &p, uint32_t lead_ms)
{
    vrc_track_info_t &track = m.tracks[p.track_id];
    if (m.nr_avframes[p.track_id] == 0) {
        track.creation_time = p.utctime;
        track.modification_time = p.utctime;
        if (track.start_time == 0) track.start_time = p.timestamp - lead_ms;
    }
    track.duration = p.timestamp - track.start_time;
}

void count_frame(vrc_mp4_muxer_t &m, uint32_t t, const PacketPlan &plan)
{
    m.nr_avframes[t] += 1;
    m.mdat_size += plan.private_bytes + plan.sample_size;
    m.nr_frames += 1;
}

// Where a frame's bytes go: into the write batch the conversion attaches
// (it sets no private records; the batch writes the borrowed memory later),
// or through the box writer, behind the frame's private record.
class FrameOut {
public:
    FrameOut(vrc_mp4_muxer_t &m, const mov_frame_info_t &f) : batch_(m.batch), w_(m.pb)
    {
        if (!batch_ && m.private_enable) vrc_mp4_muxer_write_mdat_private_data(w_, m, f);
    }
    void be32(uint32_t value) { batch_ ? batch_->add_be32(value) : w_.u32(value); }
    void bytes(const uint8_t *data, uint32_t size) { batch_ ? batch_->add(data, size) : w_.bytes(data, size); }

private:
    vrc::UriIoBatch *batch_;
    BoxWriter w_;
};

// Every NAL unit of the sample goes out behind its own 4-byte length.
void vrc_mp4_muxer_write_video_track(vrc_mp4_muxer_t &m, const vrc_media_packet_t &p, const PacketPlan &plan,
                                     uint32_t stamp)
{
    const uint32_t t = p.track_id;
    keep_description(m, plan);
    mov_frame_info_t &f = m.table.frames[m.nr_frames];
    f = frame_record(p, plan, stamp);
    FrameOut out(m, f);
    const auto write_unit = [&](const vrc::NalUnit &nal) {
        out.be32(nal.size);
        out.bytes(nal.data, nal.size);
    };
    if (plan.sets_in_band) {  // from memory that outlives the call: a write batch borrows it
        const mov_param_sets_t &sets = m.descriptions[m.table.description_of[m.nr_frames]];
        write_unit(vrc::NalUnit{sets.seq_param, sets.seq_param_len});
        write_unit(vrc::NalUnit{sets.pic_param, sets.pic_param_len});
    }
    vrc::h264_for_each_sample_unit(plan.video, write_unit);
    update_track_times(m, p, 0);
    count_frame(m, t, plan);
}

void vrc_mp4_muxer_write_audio_track(vrc_mp4_muxer_t &m, const vrc_media_packet_t &p, const PacketPlan &plan,
                                     uint32_t stamp)
{
    mov_frame_info_t &f = m.table.frames[m.nr_frames];
    f = frame_record(p, plan, stamp);
    FrameOut(m, f).bytes(plan.audio, plan.sample_size);
    update_track_times(m, p, vrc::MOV_AUDIO_LEAD_MS);
    count_frame(m, p.track_id, plan);
}

// Bytes per second over windows of bitrate_interval seconds or more.
void vrc_mp4_muxer_measure_bitrate(vrc_mp4_muxer_t &m, const vrc_media_packet_t &p)
{
    const uint32_t t = p.track_id;
    if (m.bitrate_bytes[t] == 0) m.bitrate_start[t] = p.timestamp;
    m.bitrate_bytes[t] += p.size;
    const uint32_t elapsed = p.timestamp - m.bitrate_start[t];
    if (elapsed < m.bitrate_interval * 1000) return;
    m.bitrate[t] = m.bitrate_bytes[t] / (elapsed / 1000);
    if (m.bitrate_log) vrc_log_msg(VRC_LOG_DEBUG, __FILE__, __LINE__, "Bitrate: trackid %d, %d\n", t, m.bitrate[t]);
    m.bitrate_bytes[t] = 0;
}

}  // namespace

// ---- context ------------------------------------------------------------

vrc_mp4_muxer_t *vrc_mp4_muxer_open(const char *path, int flags)
{
    auto *m = static_cast<vrc_mp4_muxer_t *>(vrc_calloc(1, sizeof(vrc_mp4_muxer_t)));
    if (!m) return nullptr;
    if (!vrc::mov_table_reserve(m->table, vrc::MOV_TABLE_CAPACITY)) {
        vrc_free(m);
        return nullptr;
    }
    m->pb = vrc_uri_io_file_new(flags, path);
    if (!m->pb) {
        vrc_mp4_muxer_free(m);
        return nullptr;
    }
    m->bitrate_interval = kBitrateIntervalSeconds;
    m->bitrate_log = 0;
    m->private_enable = 1;
    m->private_size = vrc::MOV_MR01_SIZE;
    m->mdat_size_fixed = VRC_MUXER_MDAT_SIZE_FIXED;
    m->start_time = static_cast<uint32_t>(vrc_clock_monotonic_get());
    m->creation_time = static_cast<uint32_t>(vrc_utc_time());
    return m;
}

extern "C" VRC_API vrc_mp4_muxer_t *vrc_mp4_muxer_new(const char *path)
{
    return vrc_mp4_muxer_open(path, VRC_URI_IO_FLAG_WRITE | vrc::URI_IO_FLAG_READ_BACK);
}

extern "C" VRC_API int vrc_mp4_muxer_set_config(vrc_mp4_muxer_t *muxer, int private_enable, int mdat_size_fixed)
{
    if (!muxer) return -1;
    muxer->private_enable = private_enable ? 1 : 0;
    muxer->mdat_size_fixed = mdat_size_fixed ? VRC_MUXER_MDAT_SIZE_FIXED : 0;
    return 0;
}

extern "C" VRC_API int vrc_mp4_muxer_set_create_time(vrc_mp4_muxer_t *muxer, uint32_t creation_time,
                                                     uint32_t start_time)
{
    if (!muxer) return -1;
    muxer->start_time = start_time;
    muxer->creation_time = creation_time;
    return 0;
}

// Parameter-set lengths a caller left in its records must fit the buffers
// they describe.
extern "C" VRC_API int vrc_mp4_muxer_add_tracks(vrc_mp4_muxer_t *muxer, const vrc_track_info_t *tracks, int count)
{
    if (!muxer || !tracks || count > VRC_MUXER_MAX_TRACKS || muxer->tracks_added) return -1;
    muxer->tracks_added = 1;
    for (int i = 0; i < count; ++i) {
        vrc_track_info_t &slot = muxer->tracks[i];
        slot = tracks[i];
        if (slot.seq_params_len > MOV_PARAM_SET_CAPACITY) slot.seq_params_len = 0;
        if (slot.pic_params_len > MOV_PARAM_SET_CAPACITY) slot.pic_params_len = 0;
        muxer->nr_tracks += 1;
    }
    return 0;
}

extern "C" VRC_API int vrc_mp4_muxer_flush(vrc_mp4_muxer_t *muxer)
{
    if (muxer && muxer->pb) vrc_uri_io_file_flush(muxer->pb);
    return 0;
}

extern "C" VRC_API int vrc_mp4_muxer_get_video_duration(vrc_mp4_muxer_t *muxer)
{
    if (!muxer || muxer->tracks[0].timescale == 0) return -1;
    return static_cast<int>(muxer->tracks[0].duration / muxer->tracks[0].timescale);
}

extern "C" VRC_API void vrc_mp4_muxer_free(vrc_mp4_muxer_t *muxer)
{
    if (!muxer) return;
    vrc_uri_io_file_free(muxer->pb);
    muxer->pb = nullptr;
    vrc::mov_table_release(muxer->table);
    vrc_free(muxer);
}

// ---- header and packets -------------------------------------------------

extern "C" VRC_API int vrc_mp4_muxer_write_header(vrc_mp4_muxer_t *muxer)
{
    if (!muxer) return -1;
    vrc_mp4_muxer_t &m = *muxer;
    BoxWriter w(m.pb);
    vrc_mp4_write_ftyp(w);
    m.ftyp_size = kFtypSize;
    m.mdat_offset += kFtypSize;
    m.free_size = kFreeSize;
    vrc_mp4_write_free(w, m.free_size);
    m.mdat_offset += m.free_size;
    if (m.private_enable) m.mdat_offset += vrc_mp4_muxer_write_meta_data0(w, m);
    if (m.nr_frames == 0) {
        w.u32(m.mdat_size_fixed);    // size: final when pre-sized, else patched at the tail
        w.type(mov_fourcc("mdat"));  // type
        m.mdat_size = MOV_BOX_ATOM_SIZE;
    }
    vrc_log_msg(VRC_LOG_DEBUG, __FILE__, __LINE__, "offset %d\n", m.mdat_offset);
    return 0;
}

extern "C" VRC_API int vrc_mp4_muxer_try_to_write(vrc_mp4_muxer_t *muxer, const vrc_media_packet_t *packet)
{
    if (!muxer || !packet_present(packet)) return VRC_ERR_MUXER_ARGS;
    PacketPlan plan;
    return vrc_mp4_muxer_plan_packet(*muxer, *packet, &plan);
}

// Write failures inside a packet are not checked one by one: the first one
// sticks in the handle and refuses the next packet with -4, and the tail
// reports it too.
int vrc::mov_write_sample(vrc_mp4_muxer_t &m, const vrc_media_packet_t &p, const MovSampleTime &time, bool exact)
{
    if (m.pb->error != 0) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "Lower Layer IO error! muxer->pb->error:%d\n", m.pb->error);
        return VRC_ERR_MUXER_IO;
    }
    PacketPlan plan;
    int planned = vrc_mp4_muxer_plan_packet(m, p, &plan);
    if (planned == 0 && !vrc::mov_table_make_room(m.table, m.nr_frames))
        planned = refuse(&plan, true, "no memory is left for its frame table (%u frames)", m.nr_frames);
    m.refusal = plan.refusal;
    if (planned != 0) {
        vrc_log_msg(VRC_LOG_DEBUG, __FILE__, __LINE__, "write is err\n");
        return planned;
    }
    const uint32_t t = p.track_id;
    if (m.nr_avframes[t] != 0 && m.last_seq[t] + 1 != p.seq)
        vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__, "track %d frame sequence not continous, %u, %u!\n", t, p.seq,
                    m.last_seq[t]);
    m.last_seq[t] = p.seq;
    m.exact_times[t] = exact;
    m.table.composition[m.nr_frames] = time.composition_offset;
    if (time.composition_offset != 0) m.has_composition[t] = 1;
    if (time.duration != 0) m.end_duration[t] = time.duration;
    const auto stamp = static_cast<uint32_t>(time.decode_time);
    if (is_video(p))
        vrc_mp4_muxer_write_video_track(m, p, plan, stamp);
    else
        vrc_mp4_muxer_write_audio_track(m, p, plan, stamp);
    vrc_mp4_muxer_measure_bitrate(m, p);
    return 0;
}

extern "C" VRC_API int vrc_mp4_muxer_write_packet(vrc_mp4_muxer_t *muxer, const vrc_media_packet_t *packet)
{
    if (!muxer || !packet_present(packet)) return -1;
    vrc::MovSampleTime time;
    time.decode_time = packet->timestamp;
    return vrc::mov_write_sample(*muxer, *packet, time, false);
}
