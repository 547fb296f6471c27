#include "vrc_oldrecord_demuxer.h"

#include "vrc_oldrecord_demuxer_internal.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "vrc_codec.h"
#include "vrc_debug.h"
#include "vrc_mem.h"

namespace {

constexpr uint32_t kHeaderSize = VRC_OLDREC_HEADER_SIZE;
constexpr uint32_t kMagicSize = 4;
// Foreign bytes are searched for the next magic a window of this size at a
// time, read forward: the search never seeks back, whatever the I/O buffer
// still holds.
constexpr uint32_t kScanWindow = 1024;
constexpr uint32_t kIndexEntrySize = VRC_OLDREC_INDEX_ENTRY_SIZE;
constexpr uint32_t kIndexCountSize = 4;
// A wanted time this far past the last indexed frame still counts as inside.
constexpr int64_t kSeekSlackSeconds = 2;
// A header found inside a frame's payload ends the frame when its stamp
// follows the frame's: at most this much earlier (audio and video stamps
// interleave loosely) and at most this much later.
constexpr int64_t kFollowBackMs = 1000;
constexpr int64_t kFollowAheadMs = 24 * 3600 * 1000;

struct FrameHeader {
    uint32_t magic;
    uint32_t size;
    uint32_t type;
    uint32_t timestamp;
    uint32_t utctime;
};

struct IndexEntry {
    uint32_t magic;
    uint32_t size;
    uint32_t utctime;
    uint32_t offset;
};

uint32_t le16(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

uint32_t le32(const uint8_t *p)
{
    return le16(p) | le16(p + 2) << 16;
}

bool is_magic(uint32_t value)
{
    return value == VRC_OLDREC_MAGIC || value == VRC_OLDREC_MAGIC_ALT;
}

// The kind of a known type code; null for any other.
// The codec a header's type code names (the codec table knows which codes
// carry which codec, and which mark key frames); null for a code of none.
const vrc::CodecRow *frame_codec(uint32_t type, bool *key_frame)
{
    return vrc::codec_by_legacy_type(type, key_frame);
}

bool known_type(uint32_t type)
{
    bool key_frame = false;
    return frame_codec(type, &key_frame) != nullptr;
}

FrameHeader decode_header(const uint8_t *area)
{
    return FrameHeader{le32(area),       // magic
                       le32(area + 4),   // size
                       le32(area + 8),   // type
                       le32(area + 12),  // timestamp
                       le32(area + 16)}; // utctime
}

// Whether any of the 8 bytes at p equals b (the zero-byte test on w ^ bbbbbbbb).
bool holds_byte(const uint8_t *p, uint8_t b)
{
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighBits = 0x8080808080808080ull;
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    const uint64_t x = w ^ (kOnes * b);
    return ((x - kOnes) & ~x & kHighBits) != 0;
}

// Whether a magic value can begin at any of the 8 positions from p: every
// one begins with the low byte of its value.
bool may_begin_magic(const uint8_t *p)
{
    return holds_byte(p, VRC_OLDREC_MAGIC & 0xFF) || holds_byte(p, VRC_OLDREC_MAGIC_ALT & 0xFF);
}

// First position below limit at which a magic value begins, or limit. Eight
// positions are ruled out at once where none holds a first byte of a magic.
uint32_t find_magic(const uint8_t *area, uint32_t limit)
{
    constexpr uint32_t kGroup = 8;
    for (uint32_t p = 0; p < limit; p += kGroup) {
        if (p + kGroup <= limit && !may_begin_magic(area + p)) continue;
        const uint32_t end = p + kGroup < limit ? p + kGroup : limit;
        for (uint32_t q = p; q < end; ++q)
            if (is_magic(le32(area + q))) return q;
    }
    return limit;
}

// The demuxer as allocated: the public record, and the reader's own 64-bit
// position, of which read_offset shows the low 32 bits.
struct OldrecReader {
    vrc_oldrecord_demuxer_t pub;  // first: a pointer to it points to the reader
    uint64_t position;            // where the next frame header is looked for
    uint64_t payload;             // of the frame last delivered
};

OldrecReader &reader_of(vrc_oldrecord_demuxer_t *d) { return *reinterpret_cast<OldrecReader *>(d); }

// The reader's position; where a host has set read_offset since (within the
// first 4 GiB, all it can name), that.
uint64_t position(const vrc_oldrecord_demuxer_t *d)
{
    const uint64_t kept = reinterpret_cast<const OldrecReader *>(d)->position;
    return d->read_offset == static_cast<uint32_t>(kept) ? kept : d->read_offset;
}

void move_to(vrc_oldrecord_demuxer_t *d, uint64_t at)
{
    reader_of(d).position = at;
    d->read_offset = static_cast<uint32_t>(at);
}

// Positions the file at read_offset and reads the header area there; bytes
// missing at the end of the file read as 0. Returns the number of bytes
// read, or the demuxer's end-of-file code.
int read_header_area(vrc_oldrecord_demuxer_t *d, uint8_t *area)
{
    const auto at = static_cast<int64_t>(position(d));
    const int64_t sought = vrc_uri_io_file_seek(d->pb, at, SEEK_SET);
    if (sought < 0) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "seek error! ret: %d\n", static_cast<int>(sought));
        return VRC_ERR_OLDREC_EOF;
    }
    const int got = vrc_uri_io_file_read(d->pb, area, static_cast<int>(kHeaderSize));
    if (got <= 0) {
        // The end of the file is how every recording ends: no error then.
        const int level = vrc_uri_io_file_eof(d->pb) ? VRC_LOG_DEBUG : VRC_LOG_ERR;
        vrc_log_msg(level, __FILE__, __LINE__, "read error! ret: %d\n", got);
        return VRC_ERR_OLDREC_EOF;
    }
    std::memset(area + got, 0, kHeaderSize - static_cast<uint32_t>(got));
    return got;
}

// Moves read_offset from foreign bytes to the next position where a magic
// value begins, exactly where a scan stepping one byte at a time would stop.
// Starts from the got bytes just read at read_offset (area) and reads on
// from where they end. 0, or a failure code.
int skip_foreign_bytes(vrc_oldrecord_demuxer_t *d, const uint8_t *area, uint32_t got)
{
    // The zero tail lets the last 3 positions before the end of the file be
    // tested like any other, as a one-byte step would test them.
    uint8_t window[kScanWindow + kMagicSize - 1];
    std::memcpy(window, area, got);
    uint32_t held = got;
    bool at_end = got < kHeaderSize;
    for (;;) {
        if (!at_end) {
            const int want = static_cast<int>(kScanWindow - held);
            const int more = vrc_uri_io_file_read(d->pb, window + held, want);
            if (more > 0) held += static_cast<uint32_t>(more);
            at_end = more < want;
        }
        std::memset(window + held, 0, kMagicSize - 1);
        // Short of the end, the last 3 positions wait for the bytes after them.
        const uint32_t limit = at_end ? held : held - (kMagicSize - 1);
        const uint32_t at = find_magic(window, limit);
        move_to(d, position(d) + at);
        if (at < limit || at_end) return 0;
        std::memmove(window, window + limit, held - limit);
        held -= limit;
    }
}

// Advances read_offset to the next header; 0 with it decoded, or a failure.
int find_header(vrc_oldrecord_demuxer_t *d, FrameHeader *header)
{
    uint8_t area[kHeaderSize];
    for (;;) {
        const int got = read_header_area(d, area);
        if (got < 0) return got;
        if (is_magic(le32(area))) {
            *header = decode_header(area);
            return 0;
        }
        const int rc = skip_foreign_bytes(d, area, static_cast<uint32_t>(got));
        if (rc != 0) return rc;
    }
}

// Whether a header found inside another frame's payload starts the next
// frame: a known type, a size any frame can have, and a stamp that follows.
bool starts_following_frame(const FrameHeader &h, uint32_t timestamp)
{
    const int64_t step = static_cast<int32_t>(h.timestamp - timestamp);
    return is_magic(h.magic) && known_type(h.type) && h.size <= VRC_OLDREC_MAX_FRAME_SIZE &&
           step >= -kFollowBackMs && step <= kFollowAheadMs;
}

// Where in a payload of got bytes the next frame's header begins, or got.
// Positions whose header would reach past the bytes held cannot tell.
uint32_t find_following_header(const uint8_t *payload, uint32_t got, uint32_t timestamp)
{
    if (got < kHeaderSize) return got;
    const uint32_t limit = got - kHeaderSize + 1;
    for (uint32_t at = 0; (at = find_magic(payload + at, limit - at) + at) < limit; ++at)
        if (starts_following_frame(decode_header(payload + at), timestamp)) return at;
    return got;
}

// Finds the next header whose fields are plausible, stepping over corrupt
// ones.
int find_plausible_header(vrc_oldrecord_demuxer_t *d, FrameHeader *header)
{
    for (;;) {
        const int rc = find_header(d, header);
        if (rc != 0) return rc;
        if (header->size > VRC_OLDREC_MAX_FRAME_SIZE || !known_type(header->type)) {
            vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__,
                        "[oldrec]header at offset %llu claims %u bytes of type 0x%X: skipped as corrupt\n",
                        static_cast<unsigned long long>(position(d)), header->size, header->type);
            move_to(d, position(d) + 1);
            continue;
        }
        return 0;
    }
}

// Whether what follows a payload read whole confirms its size: the end of
// the file, or the magic of the next header.
bool size_confirmed(vrc_oldrecord_demuxer_t *d)
{
    uint8_t magic[kMagicSize];
    const int got = vrc_uri_io_file_read(d->pb, magic, static_cast<int>(kMagicSize));
    return got <= 0 || (got == static_cast<int>(kMagicSize) && is_magic(le32(magic)));
}

// The frame's payload starts at the reader's position.
void fill_packet(vrc_oldrecord_demuxer_t *d, vrc_media_packet_t *packet, const FrameHeader &header, uint32_t size,
                 uint8_t *buffer)
{
    bool key_frame = false;
    const vrc::CodecRow &codec = *frame_codec(header.type, &key_frame);
    std::memset(packet, 0, sizeof *packet);
    reader_of(d).payload = position(d);
    packet->offset = static_cast<uint32_t>(position(d));
    packet->data = buffer;
    packet->size = size;
    packet->timestamp = header.timestamp;
    packet->utctime = header.utctime;
    packet->media_type = static_cast<uint8_t>(codec.media_type);
    // The recorder marks some pictures as neither key nor predicted: they go
    // as non-key frames of a type of their own.
    packet->frame_type = header.type == VRC_OLDREC_TYPE_VIDEO_OTHER ? VRC_FRAME_VIDEO_OTHER
                         : key_frame                                ? codec.key_frame_type
                                                                    : codec.frame_type;
    packet->codec_id = static_cast<uint8_t>(codec.codec_id);
    packet->key_frame = key_frame ? 1 : 0;
}

enum class Payload { deliver, unreadable, skip };

// Reads the payload of the header just passed (read_offset at the payload)
// into buffer and settles the frame's size: as its header says when the
// bytes after it confirm that; else up to the next frame's header inside it
// (a damaged size field must not swallow the frames after it); else the
// bytes the file holds, with payload_cut telling how many are missing. A
// frame larger than the buffer with no header inside is skipped whole.
Payload read_payload(vrc_oldrecord_demuxer_t *d, const FrameHeader &header, uint8_t *buffer, uint32_t *size)
{
    const uint32_t want = header.size < d->buffer_size ? header.size : d->buffer_size;
    const int read = vrc_uri_io_file_read(d->pb, buffer, static_cast<int>(want));
    if (read <= 0) {
        vrc_log_msg(VRC_LOG_DEBUG, __FILE__, __LINE__, "read error ret: %d\n", read);
        return Payload::unreadable;
    }
    const uint32_t got = static_cast<uint32_t>(read);
    *size = header.size;
    if (got == header.size && size_confirmed(d)) return Payload::deliver;
    const uint32_t next = find_following_header(buffer, got, header.timestamp);
    if (next < got) {
        vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__,
                    "[oldrec]frame at offset %llu claims %u bytes, but the next frame's header follows after %u: "
                    "cut there\n",
                    static_cast<unsigned long long>(position(d)), header.size, next);
        *size = next;
        return next == 0 ? Payload::unreadable : Payload::deliver;
    }
    if (header.size > d->buffer_size) {
        vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__,
                    "[oldrec]frame at offset %llu of %u bytes exceeds the buffer of %u bytes: skipped\n",
                    static_cast<unsigned long long>(position(d)), header.size, d->buffer_size);
        return Payload::skip;
    }
    if (got < header.size) {
        vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__,
                    "[oldrec]frame at offset %llu of %u bytes is cut by the end of the file after %u\n",
                    static_cast<unsigned long long>(position(d)), header.size, got);
        d->payload_cut = header.size - got;
    }
    *size = got;
    return Payload::deliver;
}

// Whether the bytes at (held of them, the end of the file right after them
// when at_end) start with a frame that read_packet would deliver as its
// header says: a plausible header, its payload whole and followed by the
// next header's magic or by the end of the file.
bool frame_in_view(const uint8_t *at, uint32_t held, bool at_end, FrameHeader *header)
{
    if (held < kHeaderSize) return false;
    *header = decode_header(at);
    if (!is_magic(header->magic) || !known_type(header->type) || header->size == 0 ||
        header->size > VRC_OLDREC_MAX_FRAME_SIZE)
        return false;
    const uint64_t end = uint64_t{kHeaderSize} + header->size;
    if (held >= end + kMagicSize) return is_magic(le32(at + end));
    return at_end && held == end;
}

// The frame at read_offset from the bytes the handle holds, refilling them
// (lent flushed first) when it is not whole there. Null when it is not
// there at all.
const uint8_t *frame_at_read_offset(vrc_oldrecord_demuxer_t *d, vrc::UriIoBatch *lent, FrameHeader *header)
{
    const auto start = static_cast<int64_t>(position(d));
    if (vrc_uri_io_file_seek(d->pb, start, SEEK_SET) != start) return nullptr;
    uint32_t held = 0;
    const uint8_t *at = vrc::uri_io_held(d->pb, &held);
    if (frame_in_view(at, held, false, header)) return at;
    if (lent) lent->flush();
    at = vrc::uri_io_peek(d->pb, kHeaderSize, &held);
    if (held < kHeaderSize) return nullptr;
    // A frame larger than the blocks cannot lie whole in them: it shows below.
    const uint64_t whole = uint64_t{kHeaderSize} + le32(at + 4) + kMagicSize;
    const uint32_t want = whole < vrc::URI_IO_BLOCK_SIZE ? static_cast<uint32_t>(whole) : vrc::URI_IO_BLOCK_SIZE;
    at = vrc::uri_io_peek(d->pb, want, &held);
    return frame_in_view(at, held, held < want, header) ? at : nullptr;
}

IndexEntry index_entry(const uint8_t *index, uint32_t n)
{
    const uint8_t *p = index + kIndexCountSize + n * kIndexEntrySize;
    return IndexEntry{le16(p),       // magic
                      le16(p + 2),   // entry size
                      le32(p + 4),   // utctime
                      le32(p + 8)};  // frame offset
}

// The wanted calendar fields read in the demuxer's own zone.
vrc_date_time_t in_demuxer_zone(const vrc_oldrecord_demuxer_t *d, vrc_date_time_t wanted)
{
    return vrc_date_time_pack(VRC_DT_YEAR(wanted) + 1970u, VRC_DT_MON(wanted), VRC_DT_MDAY(wanted),
                              VRC_DT_HOUR(wanted), VRC_DT_MIN(wanted), VRC_DT_SEC(wanted), d->tz,
                              d->tz_west, d->dst);
}

void log_demuxer_error()
{
    vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "[oldrec]Demuxer is error!\n");
}

}  // namespace

extern "C" VRC_API vrc_oldrecord_demuxer_t *vrc_oldrecord_demuxer_new(const char *path)
{
    auto *reader = static_cast<OldrecReader *>(vrc_calloc(1, sizeof(OldrecReader)));
    if (!reader) return nullptr;
    vrc_oldrecord_demuxer_t *d = &reader->pub;
    d->pb = vrc_uri_io_file_new(VRC_URI_IO_FLAG_READ, path);
    if (!d->pb) {
        vrc_free(d);
        return nullptr;
    }
    d->buffer_size = VRC_OLDREC_DEFAULT_BUFFER_SIZE;
    return d;
}

extern "C" VRC_API int vrc_oldrecord_demuxer_read_packet(vrc_oldrecord_demuxer_t *d, vrc_media_packet_t *packet,
                                                         void *buffer)
{
    if (!d || !d->pb || !packet || !buffer) {
        log_demuxer_error();
        return -1;
    }
    auto *payload = static_cast<uint8_t *>(buffer);
    d->payload_cut = 0;
    for (;;) {
        FrameHeader header;
        const int rc = find_plausible_header(d, &header);
        if (rc != 0) return rc;
        move_to(d, position(d) + kHeaderSize);
        uint32_t size = 0;
        const Payload outcome = read_payload(d, header, payload, &size);
        if (outcome == Payload::unreadable) return VRC_ERR_FRAME_REFUSED;
        if (outcome == Payload::deliver) {
            fill_packet(d, packet, header, size, payload);
            move_to(d, position(d) + size);
            return 0;
        }
        move_to(d, position(d) + header.size);
    }
}

extern "C" VRC_API int vrc_oldrecord_demuxer_seek(vrc_oldrecord_demuxer_t *d, vrc_date_time_t wanted)
{
    if (!d || !d->index) {
        log_demuxer_error();
        return -1;
    }
    const int64_t t = vrc_date_time_to_gmtime(in_demuxer_zone(d, wanted));
    // Whole entries only: a byte count that is no multiple of 12 must not
    // lead the walk past the table.
    const uint32_t entries = le32(d->index) / kIndexEntrySize;
    const IndexEntry first = entries > 0 ? index_entry(d->index, 0) : IndexEntry{0, 0, 0, 0};
    if (entries == 0 || !is_magic(first.magic) || first.size != kIndexEntrySize || t < int64_t{first.utctime}) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__,
                    "[oldrec]File format error or seek time not in curr file! start time:%d, utctime:%d\n",
                    static_cast<int>(first.utctime), static_cast<int>(t));
        return VRC_ERR_OLDREC_BAD_INDEX;
    }
    int64_t last_time = first.utctime;
    for (uint32_t n = 0; n < entries; ++n) {
        const IndexEntry entry = index_entry(d->index, n);
        if (int64_t{entry.utctime} > t) return 1;
        move_to(d, entry.offset);
        last_time = entry.utctime;
    }
    return t <= last_time + kSeekSlackSeconds ? 1 : -1;
}

extern "C" VRC_API int vrc_oldrecord_demuxer_free(vrc_oldrecord_demuxer_t *d)
{
    if (!d) return 0;
    if (d->pb) vrc_uri_io_file_free(d->pb);
    vrc_free(d);
    return 0;
}

int vrc_oldrecord_demuxer_read_view(vrc_oldrecord_demuxer_t *d, vrc_media_packet_t *packet, void *buffer,
                                    vrc::UriIoBatch *lent)
{
    FrameHeader header;
    const uint8_t *at = d && d->pb && packet && buffer ? frame_at_read_offset(d, lent, &header) : nullptr;
    if (!at) {
        if (lent) lent->flush();
        return vrc_oldrecord_demuxer_read_packet(d, packet, buffer);
    }
    move_to(d, position(d) + kHeaderSize);
    d->payload_cut = 0;
    fill_packet(d, packet, header, header.size, const_cast<uint8_t *>(at + kHeaderSize));
    vrc::uri_io_skip(d->pb, kHeaderSize + header.size);
    move_to(d, position(d) + header.size);
    return 0;
}

extern "C" VRC_API uint64_t vrc_oldrecord_demuxer_position(const vrc_oldrecord_demuxer_t *d)
{
    return d ? position(d) : 0;
}

extern "C" VRC_API int vrc_oldrecord_demuxer_move(vrc_oldrecord_demuxer_t *d, uint64_t at)
{
    if (!d) return -1;
    move_to(d, at);
    return 0;
}

extern "C" VRC_API uint64_t vrc_oldrecord_demuxer_payload_position(const vrc_oldrecord_demuxer_t *d)
{
    return d ? reinterpret_cast<const OldrecReader *>(d)->payload : 0;
}
