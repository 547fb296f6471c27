// Packs an H.264 Annex B stream and G.711 mu-law audio into a legacy record
// file: one 44-byte little-endian header in front of every frame, video
// access units and 40 ms audio frames interleaved in timestamp order. The
// options make the damaged and foreign-data recordings the tests need.
#ifndef VRC_TOOLS_LEGACY_RECORD_PACKER_H
#define VRC_TOOLS_LEGACY_RECORD_PACKER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vrc_pack {

constexpr uint32_t kMagic = 5656;
constexpr uint32_t kMagicAlt = 5099;
constexpr uint32_t kHeaderSize = 44;
constexpr uint32_t kTypeVideoI = 0xF0;
constexpr uint32_t kTypeVideoP = 0xF1;
constexpr uint32_t kTypeAudio = 0xFA;
// 40 ms of 8000 Hz mono mu-law, one byte per sample.
constexpr uint32_t kAudioFrameBytes = 320;
constexpr uint32_t kAudioFrameMs = 40;
constexpr uint32_t kDefaultFps = 25;
constexpr uint32_t kDefaultStart = 1704067200;  // 2024-01-01 00:00:00 UTC

// One frame to pack; data points into the caller's stream.
struct Frame {
    uint32_t type;
    uint32_t timestamp;  // milliseconds
    uint32_t utctime;    // seconds since 1970 UTC
    const uint8_t *data;
    uint32_t size;
};

struct HeaderFields {
    uint32_t magic;
    uint32_t size;
    uint32_t type;
    uint32_t timestamp;
    uint32_t utctime;
};

struct PackOptions {
    bool alternate_magic = false;  // 5656 and 5099 by turns
    uint32_t foreign_head = 0;     // foreign bytes before the first frame
    uint32_t foreign_gap = 0;      // foreign bytes between frames
    uint32_t cut_last = 0;         // bytes missing from the last payload (at least one stays)
};

// Where a frame landed in the packed recording.
struct PackedFrame {
    Frame frame;
    uint32_t magic;
    uint32_t header_offset;
    uint32_t payload_offset;
    uint32_t stored;  // payload bytes present in the file (fewer when cut)
};

struct PackedRecording {
    std::vector<uint8_t> bytes;
    std::vector<PackedFrame> frames;
};

// Video access units every 1000 / fps ms from timestamp 0 (key frames 0xF0,
// others 0xF1) and audio frames of 320 bytes (the last may be shorter), each
// stamped with the time of its first sample: 0, 40, 80, ... ms after the
// audio's delay. Merged in timestamp order, video first on a tie; utctime is
// start plus whole seconds.
std::vector<Frame> plan_frames(const std::vector<uint8_t> &video, const std::vector<uint8_t> &audio,
                               uint32_t fps, uint32_t start, uint32_t audio_delay_ms = 0);

PackedRecording pack_recording(const std::vector<Frame> &frames, const PackOptions &options);

// The 44-byte header, fields little-endian, the 24 trailing bytes zero.
void append_header(std::vector<uint8_t> &out, const HeaderFields &header);

// count bytes of deterministic foreign data, dense with pieces of the magic
// values but holding no whole one; the seed varies the pattern.
void append_foreign_bytes(std::vector<uint8_t> &out, size_t count, uint32_t seed);

}  // namespace vrc_pack

#endif
