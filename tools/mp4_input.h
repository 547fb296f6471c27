// What the info and extract subcommands share: opening an MP4 file with its
// header read, and naming what they find in it.
#ifndef VRC_TOOLS_MP4_INPUT_H
#define VRC_TOOLS_MP4_INPUT_H

#include <cstdint>
#include <memory>
#include <string>

#include "vrc_mp4_demuxer.h"

namespace vrc_tool {

struct DemuxerFree {
    void operator()(vrc_mp4_demuxer_t *ctx) const { vrc_mp4_demuxer_free(ctx); }
};
using Demuxer = std::unique_ptr<vrc_mp4_demuxer_t, DemuxerFree>;

// A demuxer on path with its header read; null with the reason when the file
// cannot be opened or holds no box the reader recognises.
Demuxer open_mp4(const std::string &path, std::string *reason);

const char *codec_name(uint32_t codec_id);  // "h264", "aac", "g711u" or "unknown"
const char *mode_name(const vrc_mp4_demuxer_t &ctx);  // "private" or "table"
// "YYYY-MM-DD HH:MM:SS" of seconds since 1970 UTC, in UTC.
std::string utc_text(int64_t seconds);

}  // namespace vrc_tool

#endif
