// The codec table and its lookups.
#include "vrc_codec.h"

#include <cstdio>

#include "vrc_mp4_format.h"

namespace vrc {
namespace {

const CodecRow *const kCodecs[] = {&kCodecH264, &kCodecG711u, &kCodecAac};

// Codecs that cameras and phones write and the library does not read, so
// that a refusal can say what a file holds.
struct ForeignCodec {
    uint32_t sample_entry;
    const char *name;
};
constexpr ForeignCodec kForeignCodecs[] = {
    {mov_fourcc("hvc1"), "H.265"}, {mov_fourcc("hev1"), "H.265"}, {mov_fourcc("avc3"), "H.264 (avc3)"},
    {mov_fourcc("av01"), "AV1"},   {mov_fourcc("vp09"), "VP9"},   {mov_fourcc("mp4v"), "MPEG-4 Visual"},
    {mov_fourcc("jpeg"), "JPEG"},  {mov_fourcc("Opus"), "Opus"},  {mov_fourcc("alaw"), "G.711 A-law"},
    {mov_fourcc("sowt"), "PCM"},   {mov_fourcc("twos"), "PCM"},   {mov_fourcc("lpcm"), "PCM"},
};

template <class Match>
const CodecRow *find_codec(Match &&match)
{
    for (const CodecRow *row : kCodecs)
        if (match(*row)) return row;
    return nullptr;
}

}  // namespace

const CodecRow *codec_by_id(uint32_t codec_id)
{
    return find_codec([&](const CodecRow &row) { return row.codec_id == codec_id; });
}

const CodecRow *codec_by_entry(uint32_t sample_entry)
{
    return find_codec([&](const CodecRow &row) { return row.sample_entry == sample_entry; });
}

const CodecRow *codec_by_legacy_type(uint32_t type, bool *key_frame)
{
    const CodecRow *row = find_codec([&](const CodecRow &r) {
        for (uint32_t code : r.legacy_types)
            if (code != 0 && code == type) return true;
        return false;
    });
    *key_frame = row && row->legacy_key_type == type;
    return row;
}

const char *codec_name_of_entry(uint32_t sample_entry)
{
    if (const CodecRow *row = codec_by_entry(sample_entry)) return row->name;
    for (const ForeignCodec &codec : kForeignCodecs)
        if (codec.sample_entry == sample_entry) return codec.name;
    return nullptr;
}

bool codec_entry_readable(uint32_t sample_entry, uint32_t media_type)
{
    if (sample_entry == 0) return true;
    const CodecRow *codec = codec_by_entry(sample_entry);
    return codec && codec->media_type == media_type;
}

void entry_text(uint32_t sample_entry, char *out, size_t size)
{
    char type[5] = {};
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<char>(sample_entry >> (8 * i));
        type[i] = c >= 0x20 && c <= 0x7E ? c : '?';
    }
    const char *name = codec_name_of_entry(sample_entry);
    std::snprintf(out, size, "%s (sample entry '%s')", name ? name : "a codec it does not know", type);
}

}  // namespace vrc
