#include <cstdio>
#include <cstring>

#include "vrc_debug.h"
#include "vrc_mp4_box_writer.h"
#include "vrc_mp4_format.h"

namespace vrc {

void BoxWriter::account(int rc, uint32_t size)
{
    if (rc != 0)
        rc_ = rc;
    else
        written_ += size;
}

void BoxWriter::u8(uint32_t value)
{
    if (rc_ == 0) account(vrc_uri_io_file_w8(pb_, static_cast<int>(value & 0xFF)), 1);
}

void BoxWriter::u16(uint32_t value)
{
    if (rc_ == 0) account(vrc_uri_io_file_wb16(pb_, value & 0xFFFF), 2);
}

void BoxWriter::u32(uint32_t value)
{
    if (rc_ == 0) account(vrc_uri_io_file_wb32(pb_, value), 4);
}

void BoxWriter::u64(uint64_t value)
{
    u32(static_cast<uint32_t>(value >> 32));
    u32(static_cast<uint32_t>(value));
}

void BoxWriter::type(uint32_t fourcc)
{
    if (rc_ == 0) account(vrc_uri_io_file_wl32(pb_, fourcc), 4);
}

void BoxWriter::bytes(const uint8_t *data, uint32_t size)
{
    // The file layer takes int sizes; samples stay below 16 MiB.
    if (rc_ == 0 && size > 0) account(vrc_uri_io_file_write(pb_, data, static_cast<int>(size)), size);
}

void BoxWriter::zeros(uint32_t count)
{
    static const uint8_t kZeros[64] = {};
    while (rc_ == 0 && count > 0) {
        const uint32_t n = count < sizeof kZeros ? count : static_cast<uint32_t>(sizeof kZeros);
        bytes(kZeros, n);
        count -= n;
    }
}

void BoxWriter::open_box(uint32_t type_tag, uint32_t size, int index)
{
    if (depth_ < kMaxDepth) open_[depth_] = OpenBox{type_tag, index, size, written_};
    ++depth_;
    u32(size);
    type(type_tag);
}

void BoxWriter::close_box()
{
    --depth_;
    if (depth_ >= kMaxDepth || rc_ != 0) return;
    const OpenBox &box = open_[depth_];
    if (written_ - box.start == box.size) return;
    report_size_mismatch(box);
    rc_ = -1;
}

// Logs "moov/trak[0]/mdia/minf/stbl/stsz: declared 1020, wrote 1016".
void BoxWriter::report_size_mismatch(const OpenBox &box) const
{
    char path[kMaxDepth * 24 + 1] = "";
    size_t used = 0;
    for (int i = 0; i <= depth_ && i < kMaxDepth; ++i) {
        const OpenBox &b = open_[i];
        const char tag[5] = {static_cast<char>(b.type & 0xFF), static_cast<char>((b.type >> 8) & 0xFF),
                             static_cast<char>((b.type >> 16) & 0xFF), static_cast<char>(b.type >> 24), 0};
        char part[24];  // "/" + tag + "[" + a 32-bit index + "]"
        if (b.index >= 0)
            std::snprintf(part, sizeof part, "%s%s[%d]", i ? "/" : "", tag, b.index);
        else
            std::snprintf(part, sizeof part, "%s%s", i ? "/" : "", tag);
        const size_t n = std::strlen(part);
        if (used + n >= sizeof path) break;
        std::memcpy(path + used, part, n + 1);
        used += n;
    }
    vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "%s: declared %u, wrote %llu\n", path, box.size,
                static_cast<unsigned long long>(written_ - box.start));
}

void write_audio_sample_fields(BoxWriter &w, uint32_t channels, uint32_t sample_size, uint32_t sample_rate)
{
    w.zeros(6);               // reserved
    w.u16(1);                 // data reference index
    w.u32(0);                 // reserved
    w.u32(0);                 // reserved
    w.u16(channels);          // channel count
    w.u16(sample_size);       // sample size
    w.u16(0);                 // pre-defined
    w.u16(0);                 // reserved
    w.u32(sample_rate << 16); // sample rate, 16.16
}

}  // namespace vrc
