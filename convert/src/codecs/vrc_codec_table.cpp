// The codec table and its lookups.
#include "vrc_codec.h"

namespace vrc {
namespace {

const CodecRow *const kCodecs[] = {&kCodecH264, &kCodecG711u, &kCodecAac};

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

}  // namespace vrc
