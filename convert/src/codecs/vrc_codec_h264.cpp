// H.264: its sample entry (avc1 with the avcC decoder configuration that
// holds one description's parameter sets) and its frames, Annex B with the
// parameter sets in front of key frames between the library and its
// callers, length-prefixed NAL units in MP4 (the helpers of vrc_mp4_h264).
#include "vrc_codec.h"
#include "vrc_mp4_box_writer.h"
#include "vrc_mp4_format.h"
#include "vrc_mp4_h264.h"
#include "vrc_oldrecord_demuxer.h"

namespace vrc {
namespace {

constexpr uint32_t kAvcCFixedSize = 19;  // avcC without its parameter sets
constexpr char kCompressorName[] = "JVT/AVC Coding";
constexpr uint32_t kCompressorNameField = 32;  // length byte, name, zero padding

uint32_t avcC_size(const mov_param_sets_t &sets) { return kAvcCFixedSize + sets.seq_param_len + sets.pic_param_len; }

uint32_t avc1_entry_size(const CodecConfig &c)
{
    return MOV_BOX_ATOM_SIZE + MOV_VIDEO_SAMPLE_FIXED_SIZE + avcC_size(c.sets);
}

void write_avcC(BoxWriter &w, const mov_param_sets_t &sets)
{
    BoxScope box(w, mov_fourcc("avcC"), avcC_size(sets));
    w.u8(1);                                        // configuration version
    w.u8(sets.seq_param[1]);                        // profile
    w.u8(sets.seq_param[2]);                        // profile compatibility
    w.u8(sets.seq_param[3]);                        // level
    w.u8(0xFF);                                     // 4-byte NAL lengths
    w.u8(0xE1);                                     // one SPS
    w.u16(sets.seq_param_len);                      // SPS length
    w.bytes(sets.seq_param, sets.seq_param_len);    // SPS
    w.u8(1);                                        // one PPS
    w.u16(sets.pic_param_len);                      // PPS length
    w.bytes(sets.pic_param, sets.pic_param_len);    // PPS
}

// The picture size is the one the SPS declares when it parses, else the
// track's declaration.
void write_avc1_entry(BoxWriter &w, const CodecConfig &c)
{
    uint32_t width = c.track.width, height = c.track.height;
    h264_sps_picture_size(c.sets.seq_param, c.sets.seq_param_len, &width, &height);
    const uint32_t name_length = sizeof kCompressorName - 1;
    BoxScope box(w, mov_fourcc("avc1"), avc1_entry_size(c));
    w.zeros(6);                     // reserved
    w.u16(1);                       // data reference index
    w.u16(0);                       // pre-defined
    w.u16(0);                       // reserved
    w.zeros(12);                    // pre-defined
    w.u16(width);                   // width
    w.u16(height);                  // height
    w.u32(0x00480000);              // horizontal resolution, 72 dpi
    w.u32(0x00480000);              // vertical resolution, 72 dpi
    w.u32(0);                       // reserved
    w.u16(1);                       // frame count
    w.u8(name_length);              // compressor name: length byte,
    w.bytes(reinterpret_cast<const uint8_t *>(kCompressorName), name_length);  // the name,
    w.zeros(kCompressorNameField - 1 - name_length);                           // zero padding
    w.u16(0x0018);                  // depth
    w.u16(0xFFFF);                  // pre-defined -1
    write_avcC(w, c.sets);
}

}  // namespace

const CodecRow kCodecH264 = {
    VRC_CODEC_H264, VRC_MEDIA_VIDEO, "H.264", "h264", "h264", mov_fourcc("avc1"),
    {VRC_OLDREC_TYPE_VIDEO_I, VRC_OLDREC_TYPE_VIDEO_P, VRC_OLDREC_TYPE_VIDEO_OTHER}, VRC_OLDREC_TYPE_VIDEO_I,
    VRC_FRAME_I, VRC_FRAME_P,
    true, 0,
    avc1_entry_size, write_avc1_entry,
};

}  // namespace vrc
