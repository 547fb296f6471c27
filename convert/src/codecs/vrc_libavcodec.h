// FFmpeg's libavcodec and libavutil, opened when a feature first asks for
// them (the AAC encoder, the AAC frame bounds of a repair), not linked: the
// library loads, and converts mu-law, where they are missing, and a shared
// libavcodec stays replaceable. Built only where pkg-config finds them.
#ifndef VRC_LIBAVCODEC_H
#define VRC_LIBAVCODEC_H

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

namespace vrc {

// The functions called, each member named as its function.
struct AvFunctions {
    decltype(&::avcodec_find_encoder) avcodec_find_encoder;
    decltype(&::avcodec_find_decoder) avcodec_find_decoder;
    decltype(&::avcodec_alloc_context3) avcodec_alloc_context3;
    decltype(&::avcodec_free_context) avcodec_free_context;
    decltype(&::avcodec_open2) avcodec_open2;
    decltype(&::avcodec_send_frame) avcodec_send_frame;
    decltype(&::avcodec_receive_packet) avcodec_receive_packet;
    decltype(&::avcodec_send_packet) avcodec_send_packet;
    decltype(&::avcodec_receive_frame) avcodec_receive_frame;
    decltype(&::avcodec_flush_buffers) avcodec_flush_buffers;
    decltype(&::av_packet_alloc) av_packet_alloc;
    decltype(&::av_packet_free) av_packet_free;
    decltype(&::av_packet_unref) av_packet_unref;
    decltype(&::av_frame_alloc) av_frame_alloc;
    decltype(&::av_frame_free) av_frame_free;
    decltype(&::av_frame_unref) av_frame_unref;
    decltype(&::av_frame_get_buffer) av_frame_get_buffer;
    decltype(&::av_frame_make_writable) av_frame_make_writable;
    decltype(&::av_channel_layout_default) av_channel_layout_default;
    decltype(&::av_channel_layout_copy) av_channel_layout_copy;
    decltype(&::av_mallocz) av_mallocz;
};

// The libraries' functions and their AAC encoder and decoder, or why they
// cannot be had (the platform's reason, which names the file as well).
struct AvLibraries {
    AvFunctions av{};
    const AVCodec *aac_encoder = nullptr;
    const AVCodec *aac_decoder = nullptr;
    char encoder_refusal[400] = "";  // why the encoder cannot be had (empty when it can)
    char decoder_refusal[400] = "";  // why the decoder cannot
};

// Loaded by the first caller, once for the process (the static's
// initialisation is thread-safe: others wait for it); a failure stays the
// answer, as the process's libraries do not change.
const AvLibraries &av_libraries();

}  // namespace vrc

#endif
