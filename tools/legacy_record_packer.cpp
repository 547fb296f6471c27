#include "legacy_record_packer.h"

#include "h264_access_units.h"

namespace vrc_pack {

namespace {

void append_le32(std::vector<uint8_t> &out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t le32_at(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool is_magic(uint32_t value)
{
    return value == kMagic || value == kMagicAlt;
}

uint32_t frame_utctime(uint32_t start, uint32_t timestamp)
{
    return start + timestamp / 1000;
}

std::vector<Frame> video_frames(const std::vector<uint8_t> &video, uint32_t fps, uint32_t start)
{
    std::vector<Frame> frames;
    uint64_t picture = 0;
    for (const AccessUnit &au : split_access_units(video.data(), video.size())) {
        const auto timestamp = static_cast<uint32_t>(picture++ * 1000 / fps);
        frames.push_back(Frame{au.idr ? kTypeVideoI : kTypeVideoP, timestamp, frame_utctime(start, timestamp),
                               video.data() + au.begin, static_cast<uint32_t>(au.end - au.begin)});
    }
    return frames;
}

std::vector<Frame> audio_frames(const std::vector<uint8_t> &audio, uint32_t start, uint32_t delay_ms)
{
    std::vector<Frame> frames;
    for (size_t at = 0; at < audio.size(); at += kAudioFrameBytes) {
        const size_t left = audio.size() - at;
        const auto timestamp = static_cast<uint32_t>(delay_ms + at / kAudioFrameBytes * kAudioFrameMs);
        frames.push_back(Frame{kTypeAudio, timestamp, frame_utctime(start, timestamp), audio.data() + at,
                               static_cast<uint32_t>(left < kAudioFrameBytes ? left : kAudioFrameBytes)});
    }
    return frames;
}

// Breaks every whole magic value in bytes [from, end) by changing its last
// byte to 1, which can never start or complete another magic value.
void break_magic_values(std::vector<uint8_t> &out, size_t from)
{
    for (size_t i = from; i + 4 <= out.size(); ++i)
        if (is_magic(le32_at(out.data() + i))) out[i + 3] = 1;
}

}  // namespace

std::vector<Frame> plan_frames(const std::vector<uint8_t> &video, const std::vector<uint8_t> &audio,
                               uint32_t fps, uint32_t start, uint32_t audio_delay_ms)
{
    const std::vector<Frame> pictures = video_frames(video, fps == 0 ? kDefaultFps : fps, start);
    const std::vector<Frame> sounds = audio_frames(audio, start, audio_delay_ms);
    std::vector<Frame> merged;
    merged.reserve(pictures.size() + sounds.size());
    size_t v = 0, a = 0;
    while (v < pictures.size() || a < sounds.size()) {
        const bool take_video =
            a == sounds.size() || (v < pictures.size() && pictures[v].timestamp <= sounds[a].timestamp);
        merged.push_back(take_video ? pictures[v++] : sounds[a++]);
    }
    return merged;
}

void append_header(std::vector<uint8_t> &out, const HeaderFields &header)
{
    append_le32(out, header.magic);      // magic
    append_le32(out, header.size);       // payload size
    append_le32(out, header.type);       // frame type code
    append_le32(out, header.timestamp);  // milliseconds
    append_le32(out, header.utctime);    // seconds since 1970
    out.insert(out.end(), kHeaderSize - 20, 0);  // not interpreted
}

void append_foreign_bytes(std::vector<uint8_t> &out, size_t count, uint32_t seed)
{
    // Mostly the bytes magic values are made of, so that a reader meets many
    // near misses before the next real header.
    static constexpr uint8_t kPieces[] = {0x18, 0x16, 0x00, 0x00, 0xEB, 0x13, 0x00};
    const size_t from = out.size();
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        const uint32_t pick = state >> 24;
        out.push_back(pick < 200 ? kPieces[pick % sizeof kPieces] : static_cast<uint8_t>(state >> 8));
    }
    break_magic_values(out, from);
}

PackedRecording pack_recording(const std::vector<Frame> &frames, const PackOptions &options)
{
    PackedRecording rec;
    append_foreign_bytes(rec.bytes, options.foreign_head, 0);
    for (size_t i = 0; i < frames.size(); ++i) {
        const Frame &frame = frames[i];
        if (i > 0) append_foreign_bytes(rec.bytes, options.foreign_gap, static_cast<uint32_t>(i));
        const bool last = i + 1 == frames.size();
        const uint32_t cut = last && options.cut_last > 0 && frame.size > 0
                                 ? (options.cut_last < frame.size ? options.cut_last : frame.size - 1)
                                 : 0;
        const uint32_t magic = options.alternate_magic && i % 2 == 1 ? kMagicAlt : kMagic;
        PackedFrame packed{frame, magic, static_cast<uint32_t>(rec.bytes.size()), 0, frame.size - cut};
        append_header(rec.bytes, HeaderFields{magic, frame.size, frame.type, frame.timestamp, frame.utctime});
        packed.payload_offset = static_cast<uint32_t>(rec.bytes.size());
        rec.bytes.insert(rec.bytes.end(), frame.data, frame.data + packed.stored);
        rec.frames.push_back(packed);
    }
    return rec;
}

}  // namespace vrc_pack
