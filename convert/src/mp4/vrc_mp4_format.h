// The MP4 format as both the muxer and the demuxer see it: box types, the
// fixed sizes of boxes and sample entries, the 1904 epoch, the private
// records of a recording and the frame record's word encoding.
#ifndef VRC_MP4_FORMAT_H
#define VRC_MP4_FORMAT_H

#include <cstdint>

#include "vrc_mp4_records.h"

namespace vrc {

// A box type as the file layer reads it: the four type bytes in file order
// taken as a little-endian word, so the tag compares equal to this value and
// vrc_uri_io_file_wl32 writes the characters back in reading order.
constexpr uint32_t mov_fourcc(const char (&tag)[5])
{
    return static_cast<uint32_t>(static_cast<uint8_t>(tag[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(tag[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(tag[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(tag[3])) << 24;
}

// Fixed payload sizes (behind the 8-byte header).
constexpr uint32_t MOV_STSD_FIXED_SIZE = 8;          // version, flags, entry count
constexpr uint32_t MOV_VIDEO_SAMPLE_FIXED_SIZE = 78;  // fields of a visual sample entry
constexpr uint32_t MOV_AUDIO_SAMPLE_FIXED_SIZE = 28;  // fields of an audio sample entry
// QuickTime's sound descriptions add fields behind those by their version
// (the word behind the data reference index): the sizes of packets and
// frames in version 1; in version 2 the rate as a double and the channel
// count, the 28 bytes' own standing as placeholders.
constexpr uint32_t MOV_SOUND_V1_FIELDS_SIZE = 16;
constexpr uint32_t MOV_SOUND_V2_FIELDS_SIZE = 36;

// Fragments: which optional fields tfhd and trun carry (their flags), and
// the bit of a sample's flags that says it is no sync sample.
constexpr uint32_t MOV_TFHD_BASE_DATA_OFFSET = 0x000001;
constexpr uint32_t MOV_TFHD_DESCRIPTION_INDEX = 0x000002;
constexpr uint32_t MOV_TFHD_DEFAULT_DURATION = 0x000008;
constexpr uint32_t MOV_TFHD_DEFAULT_SIZE = 0x000010;
constexpr uint32_t MOV_TFHD_DEFAULT_FLAGS = 0x000020;
constexpr uint32_t MOV_TFHD_BASE_IS_MOOF = 0x020000;
constexpr uint32_t MOV_TRUN_DATA_OFFSET = 0x000001;
constexpr uint32_t MOV_TRUN_FIRST_FLAGS = 0x000004;
constexpr uint32_t MOV_TRUN_DURATION = 0x000100;
constexpr uint32_t MOV_TRUN_SIZE = 0x000200;
constexpr uint32_t MOV_TRUN_FLAGS = 0x000400;
constexpr uint32_t MOV_TRUN_COMPOSITION = 0x000800;
constexpr uint32_t MOV_SAMPLE_NON_SYNC = 0x010000;

// Bytes of a codec configuration carried over from an input (an AAC
// stream's AudioSpecificConfig) that a muxed track keeps.
constexpr uint32_t MOV_MAX_AUDIO_CONFIG = 32;

// An AAC frame travels behind this header between the library and its
// callers; MP4 samples hold it without.
constexpr uint32_t MOV_ADTS_HEADER_SIZE = 7;

// Box times count seconds from 1904-01-01, the library's from 1970-01-01.
constexpr uint32_t MOV_MAC_EPOCH_OFFSET = 2082844800u;
constexpr uint32_t mov_unixtime2mactime(uint32_t t) { return t + MOV_MAC_EPOCH_OFFSET; }
constexpr uint32_t mov_mactime2unixtime(uint32_t t) { return t - MOV_MAC_EPOCH_OFFSET; }

// Private records of a recording.
constexpr uint32_t MOV_MR00_HEADER_SIZE = 12;     // size, type, entry count
constexpr uint32_t MOV_TRACK_META_SIZE = 36;      // one mr00 entry
constexpr uint32_t MOV_MR01_SIZE = 20;            // mr01 record: header and frame record
constexpr uint32_t MOV_MR02_SIZE = 140;           // mr02 record: header and parameter sets
constexpr uint32_t MOV_MR02_DECLARED_SIZE = 132;  // mr02 declares its payload only

static_assert(sizeof(mov_frame_info_t) == 12, "the frame record is three words");
static_assert(sizeof(mov_track_meta_t) == MOV_TRACK_META_SIZE, "an mr00 entry is 36 bytes");
static_assert(sizeof(mov_param_sets_t) == MOV_MR02_DECLARED_SIZE, "the mr02 payload is 132 bytes");

// Bit-fields narrower than int promote to int: widen before shifting.
constexpr uint32_t mov_frame_word0(const mov_frame_info_t &f)
{
    return static_cast<uint32_t>(f.size) << 8 | static_cast<uint32_t>(f.reserved);
}

constexpr uint32_t mov_frame_word1(const mov_frame_info_t &f)
{
    return static_cast<uint32_t>(f.seq8) | static_cast<uint32_t>(f.track_id) << 8 |
           static_cast<uint32_t>(f.key_frame) << 10 | static_cast<uint32_t>(f.timezone) << 11 |
           static_cast<uint32_t>(f.daylight) << 28 | static_cast<uint32_t>(f.reserved2) << 29;
}

inline mov_frame_info_t mov_frame_decode(uint32_t word0, uint32_t word1, uint32_t word2)
{
    mov_frame_info_t f{};
    f.reserved = word0 & 0xFFu;
    f.size = word0 >> 8;
    f.seq8 = word1 & 0xFFu;
    f.track_id = (word1 >> 8) & 3u;
    f.key_frame = (word1 >> 10) & 1u;
    f.timezone = (word1 >> 11) & 0x1FFFFu;
    f.daylight = (word1 >> 28) & 1u;
    f.reserved2 = word1 >> 29;
    f.timestamp = word2;
    return f;
}

}  // namespace vrc

#endif
