// The probe: how sure it is that a file is MP4, from the box headers in its
// first 1024 bytes. It shares nothing with the demuxer context.
#include <cstdint>

#include "vrc_mem.h"
#include "vrc_mp4_demuxer.h"
#include "vrc_mp4_demuxer_internal.h"

namespace {

using namespace vrc;

constexpr int kProbeSize = 1024;
// Zero bytes behind the window: the reads behind a header near its end
// (a 64-bit size, a major brand) see zeros, never bytes outside it.
constexpr int kProbePadding = 16;

constexpr int kScoreMax = 100;        // a telling box with a sound size
constexpr int kScoreCommon = 95;      // a box common in such files
constexpr int kScoreWeak = 50;        // a weak sign
constexpr int kScoreOtherKind = 5;    // MP4-like, but another kind of file

struct vrc_probe_data_t {
    const char *filename;
    const uint8_t *buf;
    int buf_size;
};

// The window as a cursor at `offset`; a read that would leave the padding
// yields 0.
MovCursor mov_probe_at(const vrc_probe_data_t &p, int64_t offset)
{
    MovCursor c(p.buf, static_cast<uint32_t>(p.buf_size + kProbePadding));
    c.skip(static_cast<uint32_t>(offset));
    return c;
}

uint32_t mov_probe_be32(const vrc_probe_data_t &p, int64_t offset) { return mov_probe_at(p, offset).be32(); }
uint32_t mov_probe_tag(const vrc_probe_data_t &p, int64_t offset) { return mov_probe_at(p, offset).fourcc(); }
uint64_t mov_probe_be64(const vrc_probe_data_t &p, int64_t offset) { return mov_probe_at(p, offset).be64(); }

// Diagnostic hook for every box type the walk reads; does nothing.
void vrc_mp4_demuxer_debug_tag(uint32_t) {}

int mov_max(int a, int b) { return a > b ? a : b; }

bool mov_is_telling(uint32_t type)
{
    return type == mov_fourcc("moov") || type == mov_fourcc("mdat") || type == mov_fourcc("pnot") ||
           type == mov_fourcc("udta") || type == mov_fourcc("ftyp");
}

bool mov_is_common(uint32_t type)
{
    return type == mov_fourcc("ediw") || type == mov_fourcc("wide") || type == mov_fourcc("free") ||
           type == mov_fourcc("junk") || type == mov_fourcc("pict");
}

bool mov_is_weak(uint32_t type)
{
    constexpr uint32_t kOldMagic = 0x7D7F8282u;  // the bytes 82 82 7F 7D in file order
    return type == kOldMagic || type == mov_fourcc("skip") || type == mov_fourcc("uuid") ||
           type == mov_fourcc("prfl");
}

// A telling box: its size must be sound (a 64-bit size that is not zero
// counts), and an ftyp of a JPEG 2000 file is another kind of file.
int mov_score_telling(const vrc_probe_data_t &p, int64_t offset, uint32_t type, uint32_t size, int score)
{
    const bool large_size = size == 1 && offset + 12 <= p.buf_size && mov_probe_be64(p, offset + 8) != 0;
    if (size < 8 && !large_size) return mov_max(score, kScoreWeak);
    if (type == mov_fourcc("ftyp")) {
        const uint32_t brand = mov_probe_tag(p, offset + 8);
        if (brand == mov_fourcc("jp2 ") || brand == mov_fourcc("jpx ")) return mov_max(score, kScoreOtherKind);
    }
    return kScoreMax;
}

// A QuickTime handler that announces MPEG program stream inside moov.
bool mov_has_mpeg_handler(const vrc_probe_data_t &p, int64_t moov_offset)
{
    for (int64_t pos = moov_offset; pos < p.buf_size - 16; pos += 2)
        if (mov_probe_tag(p, pos) == mov_fourcc("hdlr") && mov_probe_tag(p, pos + 8) == mov_fourcc("mhlr") &&
            mov_probe_tag(p, pos + 12) == mov_fourcc("MPEG"))
            return true;
    return false;
}

int vrc_mp4_demuxer_read_probe_buf(const vrc_probe_data_t &p)
{
    int64_t offset = 0;
    int score = 0;
    int64_t moov_offset = -1;
    while (offset + 8 <= p.buf_size) {
        const uint32_t type = mov_probe_tag(p, offset + 4);
        const uint32_t size = mov_probe_be32(p, offset);
        vrc_mp4_demuxer_debug_tag(type);
        if (type == mov_fourcc("moov")) moov_offset = offset + 4;
        if (mov_is_telling(type))
            score = mov_score_telling(p, offset, type, size, score);
        else if (mov_is_common(type))
            score = mov_max(score, kScoreCommon);
        else if (mov_is_weak(type))
            score = mov_max(score, kScoreWeak);
        offset += size < 4 ? 4 : size;
    }
    if (score > kScoreWeak && moov_offset != -1 && mov_has_mpeg_handler(p, moov_offset)) return kScoreOtherKind;
    return score;
}

}  // namespace

extern "C" VRC_API int vrc_mp4_demuxer_read_probe(const char *path)
{
    if (!path) return -1;
    auto *window = static_cast<uint8_t *>(vrc_calloc(kProbeSize + kProbePadding, 1));
    if (!window) return -1;
    vrc_uri_io_file_t *pb = vrc_uri_io_file_new(VRC_URI_IO_FLAG_READ, path);
    if (!pb) {
        vrc_free(window);
        return -1;
    }
    int score = -1;
    if (vrc_uri_io_file_read(pb, window, kProbeSize) > 0)
        score = vrc_mp4_demuxer_read_probe_buf(vrc_probe_data_t{path, window, kProbeSize});
    vrc_uri_io_file_free(pb);
    vrc_free(window);
    return score;
}
