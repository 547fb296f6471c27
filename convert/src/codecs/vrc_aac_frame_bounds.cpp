// A frame's end is the shortest length from its start that decodes: cut
// shorter, the decoder runs out of bits before the frame's end element;
// given more, it stops at that element and leaves the rest. So a binary
// search over the length finds it in about ten decodes.
#include "vrc_aac_frame_bounds.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "vrc_libavcodec.h"

namespace vrc {
namespace {

class FfmpegAacFrameBounds final : public AacFrameBounds {
public:
    explicit FfmpegAacFrameBounds(const AvFunctions &av) : av_(av) {}
    ~FfmpegAacFrameBounds() override
    {
        av_.av_packet_free(&packet_);
        av_.av_frame_free(&frame_);
        av_.avcodec_free_context(&context_);  // frees the extradata too
    }

    bool open(const AVCodec *codec, const uint8_t *config, uint32_t size)
    {
        context_ = av_.avcodec_alloc_context3(codec);
        packet_ = av_.av_packet_alloc();
        frame_ = av_.av_frame_alloc();
        if (!context_ || !packet_ || !frame_) return false;
        context_->extradata = static_cast<uint8_t *>(av_.av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!context_->extradata) return false;
        std::memcpy(context_->extradata, config, size);
        context_->extradata_size = static_cast<int>(size);
        // Failed decodes are the search's answers, not news for the host.
        context_->log_level_offset = AV_LOG_TRACE;
        if (av_.avcodec_open2(context_, codec, nullptr) < 0) return false;
        const int channels = std::max(context_->ch_layout.nb_channels, 1);
        max_frame_ = AAC_MAX_FRAME_BYTES_PER_CHANNEL * static_cast<uint32_t>(channels);
        scratch_.assign(max_frame_ + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        return true;
    }

    uint32_t frame_size(const uint8_t *data, uint32_t have) override
    {
        uint32_t high = std::min(have, max_frame_);
        if (high == 0 || !decodes(data, high)) return 0;
        uint32_t low = 0;  // does not decode
        while (high - low > 1) {
            const uint32_t middle = low + (high - low) / 2;
            (decodes(data, middle) ? high : low) = middle;
        }
        return high;
    }

private:
    // Whether a frame decodes from the first size bytes at data; the
    // decoder is flushed after, so that each try starts afresh.
    bool decodes(const uint8_t *data, uint32_t size)
    {
        std::memcpy(scratch_.data(), data, size);
        std::memset(scratch_.data() + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        packet_->data = scratch_.data();
        packet_->size = static_cast<int>(size);
        const bool sent = av_.avcodec_send_packet(context_, packet_) == 0;
        const bool decoded = sent && av_.avcodec_receive_frame(context_, frame_) == 0 && frame_->nb_samples > 0;
        av_.av_frame_unref(frame_);
        av_.avcodec_flush_buffers(context_);
        return decoded;
    }

    const AvFunctions &av_;
    AVCodecContext *context_ = nullptr;
    AVPacket *packet_ = nullptr;
    AVFrame *frame_ = nullptr;
    uint32_t max_frame_ = 0;
    std::vector<uint8_t> scratch_;
};

}  // namespace

std::unique_ptr<AacFrameBounds> aac_frame_bounds_open(const uint8_t *config, uint32_t size, const char **refusal)
{
    const AvLibraries &libraries = av_libraries();
    *refusal = libraries.decoder_refusal;
    if (!libraries.aac_decoder) return nullptr;
    std::unique_ptr<FfmpegAacFrameBounds> bounds(new (std::nothrow) FfmpegAacFrameBounds(libraries.av));
    if (!bounds || !bounds->open(libraries.aac_decoder, config, size)) {
        *refusal = "the AAC decoder does not take the reference's AudioSpecificConfig";
        return nullptr;
    }
    return bounds;
}

}  // namespace vrc
