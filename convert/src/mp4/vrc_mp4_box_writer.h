// The muxer's box writer: fields through the byte-order writers of the file
// layer, and boxes whose declared sizes are checked against what was written.
#ifndef VRC_MP4_BOX_WRITER_H
#define VRC_MP4_BOX_WRITER_H

#include <cstdint>

#include "vrc_uri_io.h"

namespace vrc {

// Writes fields through the byte-order writers of the file layer and keeps
// the first failure: after it nothing more is written. Boxes opened with
// BoxScope are checked on closing: the bytes written must equal the size
// the box declared, else the box path is logged and the writer fails.
class BoxWriter {
public:
    explicit BoxWriter(vrc_uri_io_file_t *pb) : pb_(pb) {}
    BoxWriter(const BoxWriter &) = delete;
    BoxWriter &operator=(const BoxWriter &) = delete;

    void u8(uint32_t value);
    void u16(uint32_t value);
    void u32(uint32_t value);
    void u64(uint64_t value);
    void type(uint32_t fourcc);
    void bytes(const uint8_t *data, uint32_t size);
    void zeros(uint32_t count);
    // The first failure: an I/O code of the file layer, or -1 for a box
    // whose size came out wrong.
    int result() const { return rc_; }

    void open_box(uint32_t type, uint32_t size, int index);
    void close_box();

private:
    static constexpr int kMaxDepth = 10;
    struct OpenBox {
        uint32_t type;
        int index;  // trak number shown in the path, or -1
        uint32_t size;
        uint64_t start;
    };
    void account(int rc, uint32_t size);
    void report_size_mismatch(const OpenBox &box) const;

    vrc_uri_io_file_t *pb_;
    int rc_ = 0;
    uint64_t written_ = 0;
    OpenBox open_[kMaxDepth] = {};
    int depth_ = 0;
};

// Writes a box header on construction and checks the box's size when it
// goes out of scope.
class BoxScope {
public:
    BoxScope(BoxWriter &w, uint32_t type, uint32_t size, int index = -1) : w_(w)
    {
        w_.open_box(type, size, index);
    }
    ~BoxScope() { w_.close_box(); }
    BoxScope(const BoxScope &) = delete;
    BoxScope &operator=(const BoxScope &) = delete;

private:
    BoxWriter &w_;
};

// The 28 fixed bytes of an audio sample entry, behind its header.
void write_audio_sample_fields(BoxWriter &w, uint32_t channels, uint32_t sample_size, uint32_t sample_rate);

}  // namespace vrc

#endif
