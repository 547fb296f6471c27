#include "vrc_libavcodec.h"

#include <cstdio>

#include "vrc_dynamic_library.h"

namespace vrc {
namespace {

// An opened library and the file it was opened as, for the reasons.
struct Library {
    void *handle;
    const char *file;
};

bool open_library(const char *file, Library *library, AvLibraries *out)
{
    char why[320];
    *library = Library{library_open(file, why, sizeof why), file};
    if (!library->handle)
        std::snprintf(out->encoder_refusal, sizeof out->encoder_refusal, "%s cannot be loaded: %s", file, why);
    return library->handle != nullptr;
}

template <typename Function>
bool resolve(const Library &library, const char *name, Function *function, AvLibraries *out)
{
    *function = reinterpret_cast<Function>(library_function(library.handle, name));
    if (!*function) std::snprintf(out->encoder_refusal, sizeof out->encoder_refusal, "%s has no function %s", library.file, name);
    return *function != nullptr;
}

#define VRC_RESOLVE(library, function) resolve(library, #function, &out->av.function, out)

// libavcodec first: the reason then names it when neither is there, and it
// brings in the libavutil of its own folder.
bool open_libraries(AvLibraries *out)
{
    Library avcodec{}, avutil{};
    return open_library(VRC_AVCODEC_FILE, &avcodec, out) && open_library(VRC_AVUTIL_FILE, &avutil, out) &&
           VRC_RESOLVE(avcodec, avcodec_find_encoder) && VRC_RESOLVE(avcodec, avcodec_find_decoder) &&
           VRC_RESOLVE(avcodec, avcodec_alloc_context3) && VRC_RESOLVE(avcodec, avcodec_free_context) &&
           VRC_RESOLVE(avcodec, avcodec_open2) && VRC_RESOLVE(avcodec, avcodec_send_frame) &&
           VRC_RESOLVE(avcodec, avcodec_receive_packet) && VRC_RESOLVE(avcodec, avcodec_send_packet) &&
           VRC_RESOLVE(avcodec, avcodec_receive_frame) && VRC_RESOLVE(avcodec, avcodec_flush_buffers) &&
           VRC_RESOLVE(avcodec, av_packet_alloc) && VRC_RESOLVE(avcodec, av_packet_free) &&
           VRC_RESOLVE(avcodec, av_packet_unref) && VRC_RESOLVE(avutil, av_frame_alloc) &&
           VRC_RESOLVE(avutil, av_frame_free) && VRC_RESOLVE(avutil, av_frame_unref) &&
           VRC_RESOLVE(avutil, av_frame_get_buffer) && VRC_RESOLVE(avutil, av_frame_make_writable) &&
           VRC_RESOLVE(avutil, av_channel_layout_default) && VRC_RESOLVE(avutil, av_channel_layout_copy) &&
           VRC_RESOLVE(avutil, av_mallocz);
}

#undef VRC_RESOLVE

AvLibraries load_libraries()
{
    AvLibraries libraries;
    if (!open_libraries(&libraries)) {
        std::snprintf(libraries.decoder_refusal, sizeof libraries.decoder_refusal, "%s", libraries.encoder_refusal);
        return libraries;
    }
    libraries.aac_encoder = libraries.av.avcodec_find_encoder(AV_CODEC_ID_AAC);
    libraries.aac_decoder = libraries.av.avcodec_find_decoder(AV_CODEC_ID_AAC);
    if (!libraries.aac_encoder)
        std::snprintf(libraries.encoder_refusal, sizeof libraries.encoder_refusal, "%s has no AAC encoder",
                      VRC_AVCODEC_FILE);
    if (!libraries.aac_decoder)
        std::snprintf(libraries.decoder_refusal, sizeof libraries.decoder_refusal, "%s has no AAC decoder",
                      VRC_AVCODEC_FILE);
    return libraries;
}

}  // namespace

const AvLibraries &av_libraries()
{
    static const AvLibraries libraries = load_libraries();
    return libraries;
}

}  // namespace vrc
