// AAC: its sample entry (mp4a with the elementary stream descriptor that
// carries the AudioSpecificConfig) and how its frames travel (behind an ADTS
// header between the library and its callers, without one in MP4).
#include <cstring>

#include "vrc_codec.h"
#include "vrc_mp4_box_writer.h"
#include "vrc_mp4_format.h"

namespace vrc {
namespace {

constexpr uint32_t kMonoSampleRate8000 = 8000;
// AAC decoder configuration of the 8000 Hz mono stream the recorder writes,
// with an explicit extension that announces no SBR.
constexpr uint8_t kEsds8000Mono[] = {0x00, 0x00, 0x00, 0x00, 0x03, 0x80, 0x80, 0x80, 0x25, 0x00, 0x02, 0x00,
                                     0x04, 0x80, 0x80, 0x80, 0x17, 0x40, 0x15, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0xBB, 0x80, 0x00, 0x00, 0xA6, 0x63, 0x05, 0x80, 0x80, 0x80, 0x05, 0x15,
                                     0x88, 0x56, 0xE5, 0x00, 0x06, 0x80, 0x80, 0x80, 0x01, 0x02};
// Every other configuration: version and flags, the ES descriptor (its
// length, 32 + the AudioSpecificConfig's, at kEsLength), the decoder
// configuration (18 + the config's, at kDecoderLength), the decoder-specific
// information's length (at kAscLength); then the AudioSpecificConfig, then
// kSlConfig.
constexpr uint8_t kEsdsHead[] = {0x00, 0x00, 0x00, 0x00, 0x03, 0x80, 0x80, 0x80, 0x00, 0x00, 0x02, 0x00,
                                 0x04, 0x80, 0x80, 0x80, 0x00, 0x40, 0x15, 0x00, 0x00, 0x00, 0x00, 0x00,
                                 0x97, 0xBE, 0x00, 0x00, 0x97, 0xBE, 0x05, 0x80, 0x80, 0x80, 0x00};
constexpr uint32_t kEsLength = 8, kDecoderLength = 16, kAscLength = 34;
constexpr uint8_t kSlConfig[] = {0x06, 0x80, 0x80, 0x80, 0x01, 0x02};
constexpr uint32_t kMaxAscSize = MOV_MAX_AUDIO_CONFIG;
static_assert(sizeof kEsds8000Mono == 46 && sizeof kEsdsHead == 35, "esds payloads");
// AAC's sampling frequency table; other rates are written out in 24 bits.
constexpr uint32_t kAacRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                  22050, 16000, 12000, 11025, 8000,  7350};
constexpr uint32_t kAacRateEscape = 15;
constexpr uint32_t kAacLowComplexity = 2;

struct EsdsPayload {
    uint8_t data[sizeof kEsdsHead + kMaxAscSize + sizeof kSlConfig];
    uint32_t size;
};

// Channel configuration of an AudioSpecificConfig: 1 to 6 channels as they
// are, 8 as 7 (7.1); any other count is left to the stream (0).
uint32_t aac_channel_configuration(uint32_t channels)
{
    if (channels >= 1 && channels <= 6) return channels;
    return channels == 8 ? 7 : 0;
}

// AudioSpecificConfig of AAC LC at the track's rate and channel count, with
// a frame length of 1024 and no core coder or extension. Returns its size.
uint32_t aac_audio_specific_config(const vrc_track_info_t &track, uint8_t *out)
{
    uint32_t rate_index = kAacRateEscape;
    for (uint32_t i = 0; i < sizeof kAacRates / sizeof kAacRates[0]; ++i)
        if (kAacRates[i] == track.sample_rate) rate_index = i;
    uint64_t bits = kAacLowComplexity;                // audio object type, 5 bits
    bits = bits << 4 | rate_index;                    // sampling frequency index
    int count = 9;
    if (rate_index == kAacRateEscape) {
        bits = bits << 24 | (track.sample_rate & 0xFFFFFFu);  // sampling frequency
        count += 24;
    }
    bits = bits << 4 | aac_channel_configuration(track.channels);  // channel configuration
    bits <<= 3;  // frame length 1024, no core coder, no extension
    count += 7;
    const uint32_t size = static_cast<uint32_t>(count / 8);
    for (uint32_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * (size - 1 - i)));
    return size;
}

// The stream's own AudioSpecificConfig when it was copied (it may declare
// more than the rate and channels: another object type, SBR); else the
// one of the stream the library encodes.
EsdsPayload esds_payload(const CodecConfig &c)
{
    EsdsPayload esds{};
    const vrc_track_info_t &track = c.track;
    const bool own = c.config_size != 0 && c.config_size <= kMaxAscSize;
    if (!own && track.sample_rate == kMonoSampleRate8000 && track.channels == 1) {
        std::memcpy(esds.data, kEsds8000Mono, sizeof kEsds8000Mono);
        esds.size = sizeof kEsds8000Mono;
        return esds;
    }
    std::memcpy(esds.data, kEsdsHead, sizeof kEsdsHead);
    uint8_t *config = esds.data + sizeof kEsdsHead;
    if (own) std::memcpy(config, c.config, c.config_size);
    const uint32_t asc = own ? c.config_size : aac_audio_specific_config(track, config);
    esds.data[kEsLength] = static_cast<uint8_t>(32 + asc);
    esds.data[kDecoderLength] = static_cast<uint8_t>(18 + asc);
    esds.data[kAscLength] = static_cast<uint8_t>(asc);
    std::memcpy(esds.data + sizeof kEsdsHead + asc, kSlConfig, sizeof kSlConfig);
    esds.size = static_cast<uint32_t>(sizeof kEsdsHead + asc + sizeof kSlConfig);
    return esds;
}

uint32_t mp4a_entry_size(const CodecConfig &c)
{
    return MOV_BOX_ATOM_SIZE + MOV_AUDIO_SAMPLE_FIXED_SIZE + MOV_BOX_ATOM_SIZE + esds_payload(c).size;
}

void write_mp4a_entry(BoxWriter &w, const CodecConfig &c)
{
    BoxScope box(w, mov_fourcc("mp4a"), mp4a_entry_size(c));
    write_audio_sample_fields(w, c.track.channels, c.track.bitwidth, c.track.sample_rate);
    const EsdsPayload esds = esds_payload(c);
    BoxScope esds_box(w, mov_fourcc("esds"), MOV_BOX_ATOM_SIZE + esds.size);
    w.bytes(esds.data, esds.size);  // version, flags and the ES descriptor
}

}  // namespace

const CodecRow kCodecAac = {
    VRC_CODEC_AAC, VRC_MEDIA_AUDIO, "AAC", "aac", "adts", mov_fourcc("mp4a"),
    {0, 0, 0}, 0,                                  // the legacy format carries none
    VRC_FRAME_AUDIO_ADTS, VRC_FRAME_AUDIO_ADTS,
    false, MOV_ADTS_HEADER_SIZE,
    mp4a_entry_size, write_mp4a_entry,
};

}  // namespace vrc
