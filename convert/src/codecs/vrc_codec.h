// What the library knows of each codec, one row per codec: its frame types
// in the legacy format, its MP4 sample entry with the configuration box in
// it, how its frames travel between the library and its callers, and its
// names. The legacy reader, the pipeline, the moov writer, the MP4 reader
// and the command all look codecs up here; a new codec is one new file with
// its row and one line in the table (vrc_codec_table.cpp).
#ifndef VRC_CODEC_H
#define VRC_CODEC_H

#include <cstddef>
#include <cstdint>

#include "vrc_media.h"
#include "vrc_mp4_records.h"

namespace vrc {

class BoxWriter;

// What a sample entry is written from: the track, and its codec's
// configuration (H.264: one description's parameter sets; AAC: the
// AudioSpecificConfig of the stream copied, none for one the library makes).
struct CodecConfig {
    const vrc_track_info_t &track;
    const mov_param_sets_t &sets;
    const uint8_t *config = nullptr;
    uint32_t config_size = 0;
};

struct CodecRow {
    uint32_t codec_id;          // VRC_CODEC_*
    uint32_t media_type;        // VRC_MEDIA_*
    const char *name;           // for people: "H.264"
    const char *short_name;     // for machines (info, --json): "h264"
    const char *stream_format;  // the raw stream extract writes: "h264", "mulaw", "adts"
    uint32_t sample_entry;      // its MP4 sample entry's type (mov_fourcc)
    uint32_t legacy_types[3];   // its frame type codes in the legacy format; 0: unused
    uint32_t legacy_key_type;   // the one of them that marks a key frame; 0: none
    uint8_t key_frame_type;     // VRC_FRAME_* of its key frames as the library exchanges them
    uint8_t frame_type;         // VRC_FRAME_* of its other frames
    // Key frames carry the parameter sets the stream decodes with (in
    // front of the picture as exchanged, in mr02 records, in the sample
    // entry's configuration).
    bool param_sets;
    // Bytes in front of each frame as exchanged that the MP4 sample holds
    // without (AAC's ADTS header).
    uint32_t exchange_header;
    // The sample entry in moov: its size, and its writer, which writes
    // exactly that many bytes.
    uint32_t (*entry_size)(const CodecConfig &config);
    void (*write_entry)(BoxWriter &w, const CodecConfig &config);
};

// The codec's row; null for a codec the library does not handle.
const CodecRow *codec_by_id(uint32_t codec_id);
// The row whose MP4 sample entry has this type; null for none.
const CodecRow *codec_by_entry(uint32_t sample_entry);
// The row of a legacy frame type code, and whether it marks a key frame;
// null for a type that carries no codec of the table.
const CodecRow *codec_by_legacy_type(uint32_t type, bool *key_frame);

// What to call the codec of a sample entry for people: a row's name, or
// the name of a codec the library knows of but does not read ("H.265");
// null for an entry it knows nothing of.
const char *codec_name_of_entry(uint32_t sample_entry);

// Whether the MP4 reader reads a track of media_type (VRC_MEDIA_*) whose
// first sample entry has this type: a codec of that type, or no entry at all
// (such files were always read as their handler says).
bool codec_entry_readable(uint32_t sample_entry, uint32_t media_type);

// What a sample entry holds, for people: "H.265 (sample entry 'hvc1')", or
// "a codec it does not know (sample entry 'xxxx')"; bytes of the type that
// are not text show as '?'. Cut to size, always terminated.
void entry_text(uint32_t sample_entry, char *out, size_t size);

// The recorder holds mu-law in frames of 40 ms (320 bytes at 8000 Hz); an
// input that stores a sample per byte has its sound gathered to that size.
constexpr uint32_t kG711uFrameMs = 40;

// The rows, each defined in its codec's file.
extern const CodecRow kCodecH264;
extern const CodecRow kCodecG711u;
extern const CodecRow kCodecAac;

}  // namespace vrc

#endif
