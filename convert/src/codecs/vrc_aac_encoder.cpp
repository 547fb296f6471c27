// The AAC step on FFmpeg's libavcodec encoder, opened when AAC is first
// asked for. The mu-law goes through a 256-entry table into one reused
// input frame; every packet comes out into one reused AVPacket, so that
// nothing here allocates after the set-up.
#include "vrc_aac_encoder.h"

#include <array>
#include <cstdio>
#include <new>

#include "vrc_convert.h"

#include "vrc_libavcodec.h"

namespace {

using vrc::AvFunctions;
using vrc::AvLibraries;
using vrc::av_libraries;

constexpr int kSampleRate = 8000;
constexpr int kChannels = 1;
// The encoder's range at 8000 Hz mono: below it nothing but noise is left
// of speech; above it the encoder cannot spend the bits.
constexpr uint32_t kMinBitrate = VRC_CONVERT_AAC_MIN_BITRATE;
constexpr uint32_t kMaxBitrate = VRC_CONVERT_AAC_MAX_BITRATE;
// Frames whose start stamps are kept: the encoder holds back no more than
// two frames of samples, so a packet never starts further back.
constexpr int64_t kStampRing = 8;

// G.711 mu-law: the byte is stored inverted; a segment number and four
// mantissa bits make a magnitude of up to 8031 steps of 4 in 16 bits.
constexpr float ulaw_to_float(uint8_t byte)
{
    const int u = ~byte & 0xFF;
    const int magnitude = (((u & 0x0F) << 3) + 0x84) << ((u >> 4) & 0x07);
    const int sample = (u & 0x80) != 0 ? 0x84 - magnitude : magnitude - 0x84;
    return static_cast<float>(sample) / 32768.0f;
}

constexpr std::array<float, 256> make_ulaw_table()
{
    std::array<float, 256> table{};
    for (int i = 0; i < 256; ++i) table[static_cast<size_t>(i)] = ulaw_to_float(static_cast<uint8_t>(i));
    return table;
}

constexpr std::array<float, 256> kUlawToFloat = make_ulaw_table();

// When a frame's first sample plays, the wall clock it was recorded at, and
// the place its mu-law packet was pushed at.
struct FrameStart {
    uint32_t timestamp;
    uint32_t utctime;
    uint32_t place;
};

class FfmpegAacEncoder final : public vrc::AacEncoder {
public:
    FfmpegAacEncoder(const AvFunctions &av, vrc::AacSink sink, void *user) : av_(av), sink_(sink), user_(user) {}
    ~FfmpegAacEncoder() override;
    bool open(const AVCodec *codec, uint32_t bitrate);
    int push(const vrc_media_packet_t &ulaw, uint32_t place) override;
    int finish() override;
    uint32_t delay(uint32_t timescale) const override;
    uint32_t sound_length(uint32_t timescale) const override;

private:
    int refused()
    {
        failed_ = true;
        return vrc::AAC_ERR_ENCODER;
    }
    int send(const AVFrame *frame);
    int drain();
    FrameStart packet_start(int64_t pts) const;

    const AvFunctions &av_;
    vrc::AacSink sink_;
    void *user_;
    AVCodecContext *context_ = nullptr;
    AVFrame *frame_ = nullptr;
    AVPacket *packet_ = nullptr;
    int filled_ = 0;         // samples in frame_
    int64_t frames_ = 0;     // frames sent to the encoder
    uint32_t seq_ = 0;       // of the next AAC packet
    uint8_t track_id_ = 0;   // of the mu-law packets
    bool pushed_ = false;    // a mu-law packet came
    uint32_t first_ms_ = 0;  // stamp of the first mu-law sample
    uint32_t end_ms_ = 0;    // just past the last one
    bool failed_ = false;    // the encoder refused something: nothing more goes in
    std::array<FrameStart, kStampRing> starts_{};  // by frame number
};

FfmpegAacEncoder::~FfmpegAacEncoder()
{
    av_.av_packet_free(&packet_);
    av_.av_frame_free(&frame_);
    av_.avcodec_free_context(&context_);
}

bool FfmpegAacEncoder::open(const AVCodec *codec, uint32_t bitrate)
{
    context_ = av_.avcodec_alloc_context3(codec);
    frame_ = av_.av_frame_alloc();
    packet_ = av_.av_packet_alloc();
    if (!context_ || !frame_ || !packet_) return false;
    context_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context_->sample_rate = kSampleRate;
    context_->time_base = AVRational{1, kSampleRate};
    context_->bit_rate = bitrate;
    context_->profile = FF_PROFILE_AAC_LOW;
    // The library reports its own failures; the encoder's lines (its
    // statistics at the end, say) would only clutter the host's output.
    context_->log_level_offset = AV_LOG_TRACE;
    av_.av_channel_layout_default(&context_->ch_layout, kChannels);
    if (av_.avcodec_open2(context_, codec, nullptr) < 0 || context_->frame_size <= 0) return false;
    frame_->format = context_->sample_fmt;
    frame_->sample_rate = kSampleRate;
    frame_->nb_samples = context_->frame_size;
    return av_.av_channel_layout_copy(&frame_->ch_layout, &context_->ch_layout) == 0 &&
           av_.av_frame_get_buffer(frame_, 0) == 0;
}

// Once drained, the encoder holds no reference to the frame: making it
// writable again costs nothing. A packet the sink refuses loses no sample of
// the ones after it.
int FfmpegAacEncoder::push(const vrc_media_packet_t &ulaw, uint32_t place)
{
    if (failed_) return vrc::AAC_ERR_ENCODER;
    track_id_ = ulaw.track_id;
    if (!pushed_) first_ms_ = ulaw.timestamp;
    pushed_ = true;
    end_ms_ = ulaw.timestamp + static_cast<uint32_t>(uint64_t{ulaw.size} * 1000 / kSampleRate);
    int failure = 0;
    for (uint32_t i = 0; i < ulaw.size;) {
        if (filled_ == 0) {
            if (av_.av_frame_make_writable(frame_) < 0) return refused();
            const auto offset_ms = static_cast<uint32_t>(uint64_t{i} * 1000 / kSampleRate);
            starts_[static_cast<size_t>(frames_ % kStampRing)] = FrameStart{ulaw.timestamp + offset_ms, ulaw.utctime, place};
        }
        auto *samples = reinterpret_cast<float *>(frame_->data[0]);
        for (; i < ulaw.size && filled_ < frame_->nb_samples; ++i) samples[filled_++] = kUlawToFloat[ulaw.data[i]];
        if (filled_ < frame_->nb_samples) break;
        const int rc = send(frame_);
        if (failed_) return rc;
        if (failure == 0) failure = rc;
    }
    return failure;
}

// A last frame shorter than the others goes in as it is; then the encoder
// is flushed.
int FfmpegAacEncoder::finish()
{
    if (failed_) return vrc::AAC_ERR_ENCODER;
    if (filled_ != 0) {
        frame_->nb_samples = filled_;
        const int rc = send(frame_);
        if (rc != 0) return rc;
    }
    return send(nullptr);
}

uint32_t FfmpegAacEncoder::delay(uint32_t timescale) const
{
    return static_cast<uint32_t>(int64_t{context_->initial_padding} * timescale / kSampleRate);
}

uint32_t FfmpegAacEncoder::sound_length(uint32_t timescale) const
{
    return static_cast<uint32_t>(uint64_t{end_ms_ - first_ms_} * timescale / 1000);
}

// Sends a frame (null: the end of the stream) and hands on what comes out.
int FfmpegAacEncoder::send(const AVFrame *frame)
{
    if (frame) {
        frame_->pts = frames_ * context_->frame_size;
        ++frames_;
        filled_ = 0;
    }
    return av_.avcodec_send_frame(context_, frame) < 0 ? refused() : drain();
}

// Every packet ready goes to the sink, also after the sink failed, so that
// the encoder takes the next frame; the sink's first failure is returned.
int FfmpegAacEncoder::drain()
{
    int failure = 0;
    for (;;) {
        const int rc = av_.avcodec_receive_packet(context_, packet_);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return failure;
        if (rc < 0) return refused();
        const FrameStart start = packet_start(packet_->pts);
        vrc_media_packet_t aac{};
        aac.size = static_cast<uint32_t>(packet_->size);
        aac.track_id = track_id_;
        aac.media_type = VRC_MEDIA_AUDIO;
        aac.frame_type = VRC_FRAME_AUDIO;  // a raw access unit, no ADTS header
        aac.codec_id = VRC_CODEC_AAC;
        aac.seq = seq_++;
        aac.utctime = start.utctime;
        aac.timestamp = start.timestamp;
        aac.data = packet_->data;
        const int written = sink_(user_, aac, start.place);
        av_.av_packet_unref(packet_);
        if (failure == 0) failure = written;
    }
}

// A packet's pts counts samples from the first one pushed, negative for the
// encoder's delay: its stamp is that of the frame it starts in (the first
// or the last one sent, when it starts outside them), plus the samples
// into it.
FrameStart FfmpegAacEncoder::packet_start(int64_t pts) const
{
    const int64_t size = context_->frame_size;
    int64_t frame = pts < 0 ? 0 : pts / size;
    if (frame >= frames_) frame = frames_ - 1;
    if (frame < frames_ - kStampRing) frame = frames_ - kStampRing;
    const FrameStart &start = starts_[static_cast<size_t>(frame % kStampRing)];
    const int64_t into_ms = (pts - frame * size) * 1000 / kSampleRate;
    return FrameStart{start.timestamp + static_cast<uint32_t>(into_ms), start.utctime, start.place};
}

}  // namespace

const char *vrc::aac_encoder_refusal(uint32_t bitrate)
{
    const AvLibraries &libraries = av_libraries();
    if (!libraries.aac_encoder) return libraries.encoder_refusal;
    if (bitrate != 0 && (bitrate < kMinBitrate || bitrate > kMaxBitrate))
        return "the bit rate of 8000 Hz mono lies between 8000 and 48000 bit/s";
    return nullptr;
}

std::unique_ptr<vrc::AacEncoder> vrc::aac_encoder_open(uint32_t bitrate, AacSink sink, void *user)
{
    if (aac_encoder_refusal(bitrate)) return nullptr;
    const AvLibraries &libraries = av_libraries();
    std::unique_ptr<FfmpegAacEncoder> encoder(new (std::nothrow) FfmpegAacEncoder(libraries.av, sink, user));
    if (!encoder || !encoder->open(libraries.aac_encoder, bitrate != 0 ? bitrate : AAC_DEFAULT_BITRATE)) return nullptr;
    return encoder;
}
