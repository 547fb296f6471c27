// The file layer's large-block path, for the conversion: a reading handle
// refilled a MiB at a time whose bytes are handed out in place, and a batch
// that writes many slices of borrowed memory with one system call.
// Internal: nothing here is exported. The sticky-error rules of the public
// layer hold: a failed or short write leaves -1000 in the handle's `error`,
// after which nothing more is written.
#ifndef VRC_URI_IO_BLOCK_H
#define VRC_URI_IO_BLOCK_H

#include <cstdint>

#include "vrc_platform.h"
#include "vrc_uri_io.h"

namespace vrc {

// Opening flag (with VRC_URI_IO_FLAG_WRITE) for a file the caller has just
// created empty: written from its start without truncating it. On ext4 a
// truncation, even of an empty file, makes closing the file wait until its
// data is on its way to the disk.
constexpr int URI_IO_FLAG_CREATED = 4;
// Opening flag (with VRC_URI_IO_FLAG_WRITE): the file is created or
// truncated as for writing, and can be read back as well (moov in front of
// mdat moves the media data in place).
constexpr int URI_IO_FLAG_READ_BACK = 8;

constexpr int URI_IO_BLOCK_SIZE = 1 << 20;

// Gives a reading handle a buffer of URI_IO_BLOCK_SIZE bytes, refilled as
// much as it has room for at a time; bytes already buffered are kept. True
// when it has them already; false (the handle unchanged) when the memory
// cannot be had.
bool uri_io_use_blocks(vrc_uri_io_file_t *h);

// Reading handle: the unread bytes at the logical position, without
// refilling; *held tells how many.
const uint8_t *uri_io_held(vrc_uri_io_file_t *h, uint32_t *held);

// Reading handle: want bytes (at most buffer_size) at the logical position,
// contiguous in the buffer, refilling as needed; *available tells how many
// there are (fewer only at the end of the file). The bytes before them may
// be overwritten: whoever still points at them must be done with them.
const uint8_t *uri_io_peek(vrc_uri_io_file_t *h, uint32_t want, uint32_t *available);

// Reading handle: consumes n of the bytes held (n at most what is held).
void uri_io_skip(vrc_uri_io_file_t *h, uint32_t n);

// Slices of memory written one after another from a writing handle's
// position, in one system call per batch. The memory is borrowed: it must
// stay as it is until the batch is flushed. Length words are copied.
class UriIoBatch {
public:
    UriIoBatch() = default;
    ~UriIoBatch();
    UriIoBatch(const UriIoBatch &) = delete;
    UriIoBatch &operator=(const UriIoBatch &) = delete;

    // Takes over writing to h at its logical position (its pending bytes
    // are written out first). False when the copy space the platform needs
    // cannot be had.
    bool begin(vrc_uri_io_file_t *h);
    void add(const uint8_t *data, uint32_t size);
    void add_be32(uint32_t value);
    // Writes what is queued; returns the handle's error (0 when all is well).
    int flush();
    // Flushes and hands the handle back: its own writes go on after the
    // batch's bytes. Returns the handle's error.
    int end();

private:
    static constexpr int kMaxSlices = 512;
    vrc_uri_io_file_t *h_ = nullptr;
    IoSlice slices_[kMaxSlices] = {};
    uint8_t words_[kMaxSlices][4] = {};
    int count_ = 0;
    uint64_t bytes_ = 0;
    uint8_t *staging_ = nullptr;
};

}  // namespace vrc

#endif
