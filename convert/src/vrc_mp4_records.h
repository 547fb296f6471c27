// On-disk records of the recording MP4 layout, shared by the code that writes
// them and the code that reads them back. They are moved field by field
// through the byte-order writers and readers, never as struct images; the
// sizes asserted here are the sizes the format fixes.
#ifndef VRC_MP4_RECORDS_H
#define VRC_MP4_RECORDS_H

#include <cstdint>

namespace vrc {

constexpr uint32_t MOV_BOX_ATOM_SIZE = 8;  // 32-bit size, four-character type

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

// The 12-byte frame record: three big-endian words in an mr01 record, and one
// entry per frame of the muxer's frame table. Bits count from the least
// significant bit of each word.
struct mov_frame_info_t {
    uint32_t reserved : 8;    // word 0, bits 0..7: 0
    uint32_t size : 24;       // word 0, bits 8..31: sample size in bytes
    uint32_t seq8 : 8;        // word 1, bits 0..7: low byte of the packet seq
    uint32_t track_id : 2;    // word 1, bits 8..9: track slot
    uint32_t key_frame : 1;   // word 1, bit 10
    uint32_t timezone : 17;   // word 1, bits 11..27: zone offset in seconds, two's complement
    uint32_t daylight : 1;    // word 1, bit 28
    uint32_t reserved2 : 3;   // word 1, bits 29..31: 0
    uint32_t timestamp;       // word 2: milliseconds
};
static_assert(sizeof(mov_frame_info_t) == 12, "the frame record is three words");

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

// One 36-byte entry of the mr00 box. Bytes 20..27 hold the video or the
// audio form, chosen by media_type (0 = video).
struct mov_track_meta_t {
    uint8_t reserved;
    uint8_t track_id;
    uint8_t codec_id;
    uint8_t media_type;
    uint32_t creation_time;     // seconds since 1970
    uint32_t modification_time;
    uint32_t start_time;        // millisecond clock value paired with creation_time
    uint32_t timescale;
    union {
        struct {
            uint32_t width;
            uint32_t height;
        } video;
        struct {
            uint16_t channels;
            uint16_t bit_width;
            uint32_t sample_rate;
        } audio;
    } u;
    uint8_t reserved2[8];
};
static_assert(sizeof(mov_track_meta_t) == 36, "an mr00 entry is 36 bytes");

constexpr uint32_t MOV_PARAM_SET_CAPACITY = 64;

// Payload of an mr02 record: the H.264 parameter sets without start codes;
// only the first *_len bytes of each array count.
struct mov_param_sets_t {
    uint16_t seq_param_len;
    uint16_t pic_param_len;
    uint8_t seq_param[MOV_PARAM_SET_CAPACITY];
    uint8_t pic_param[MOV_PARAM_SET_CAPACITY];
};
static_assert(sizeof(mov_param_sets_t) == 132, "the mr02 payload is 132 bytes");

}  // namespace vrc

#endif
