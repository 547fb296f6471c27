#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "vrc_uri_io.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Handle = std::unique_ptr<vrc_uri_io_file_t, int (*)(vrc_uri_io_file_t *)>;
using vrc_test::read_file;
using vrc_test::temp_path;

constexpr int kBuf = 4096;

Handle open_io(const std::string &path, int flags)
{
    return Handle(vrc_uri_io_file_new(flags, path.c_str()), vrc_uri_io_file_free);
}

// Bytes from..to of a pattern that a shift by 256 or 4096 bytes changes.
Bytes pattern(int64_t from, int64_t to)
{
    Bytes out;
    for (int64_t i = from; i < to; ++i) out.push_back(static_cast<uint8_t>(i ^ (i >> 8) ^ (i >> 16)));
    return out;
}

Bytes read_some(vrc_uri_io_file_t *h, int size)
{
    Bytes out(static_cast<size_t>(size));
    out.resize(static_cast<size_t>(std::max(0, vrc_uri_io_file_read(h, out.data(), size))));
    return out;
}

int write_bytes(vrc_uri_io_file_t *h, const Bytes &bytes)
{
    return vrc_uri_io_file_write(h, bytes.data(), static_cast<int>(bytes.size()));
}

int64_t position(vrc_uri_io_file_t *h) { return vrc_uri_io_file_seek(h, 0, SEEK_CUR); }

// Counts (and can spoil) the protocol's writes and seeks of one handle.
struct Spy {
    int seeks = 0;
    std::vector<int> writes;    // sizes asked of the protocol
    bool short_writes = false;  // each write comes up one byte short
    bool fail_seeks = false;
    int (*write)(void *, const uint8_t *, int) = nullptr;
    int64_t (*seek)(void *, int64_t, int) = nullptr;
};
Spy spy;

void watch(vrc_uri_io_file_t *h)
{
    spy = Spy{};
    spy.write = h->write_packet;
    spy.seek = h->seek;
    h->write_packet = [](void *stream, const uint8_t *src, int size) {
        spy.writes.push_back(size);
        return spy.write(stream, src, spy.short_writes ? size - 1 : size);
    };
    h->seek = [](void *stream, int64_t offset, int whence) {
        ++spy.seeks;
        return spy.fail_seeks ? int64_t{-1} : spy.seek(stream, offset, whence);
    };
}

}  // namespace

TEST(UriIo, OpensPlainPathsOnlyAndRefusesNulls)
{
    EXPECT_NE(vrc_test::printed_by([] { EXPECT_FALSE(open_io("http://cam/rec.mp4", 0)); })
                  .find("]Not support uri protocol: http://cam/rec.mp4\n"),
              std::string::npos);
    EXPECT_FALSE(open_io(temp_path("missing.bin"), 0));
    EXPECT_EQ(vrc_uri_io_file_new(0, nullptr), nullptr);
    char byte;  // a writing handle does not read
    EXPECT_EQ(vrc_uri_io_file_read(open_io(temp_path("new.bin"), VRC_URI_IO_FLAG_WRITE).get(), &byte, 1), -1);
    EXPECT_EQ(vrc_uri_io_file_free(nullptr), -1);
    EXPECT_EQ(vrc_uri_io_file_seek(nullptr, 0, SEEK_SET), -1);
}

// Whatever the chunking, the bytes come in order, and tell is the file position
// of a reader that refills its 4096-byte buffer only when it is used up. A
// seek into the bytes a reader holds moves no file position; any other does,
// and every one lands where the next read starts.
TEST(UriIo, ReaderDeliversTheFileWhateverTheChunkingAndSeeksWithinHeldBytes)
{
    constexpr int64_t kSize = 5 * kBuf + 17;
    const std::string path = temp_path("read.bin");
    vrc_test::write_file(path, pattern(0, kSize));
    for (const std::vector<int> &plan : std::vector<std::vector<int>>{{1}, {4095}, {44, 4052, 1}, {3, 8192, 5000, 4097}}) {
        SCOPED_TRACE(testing::PrintToString(plan));
        Handle h = open_io(path, 0);
        int64_t done = 0;
        for (size_t step = 0; done < kSize; ++step) {
            const int want = plan[step % plan.size()];
            ASSERT_EQ(read_some(h.get(), want), pattern(done, std::min(done + want, kSize)));
            done = std::min(done + want, kSize);
            ASSERT_EQ(position(h.get()), done);
            ASSERT_EQ(vrc_uri_io_file_tell(h.get()), std::min((done + kBuf - 1) / kBuf * kBuf, kSize));
        }
        EXPECT_EQ(read_some(h.get(), 5).size(), 0u);
        EXPECT_EQ(vrc_uri_io_file_rb32(h.get()), 0u);  // past the end reads as 0
        EXPECT_EQ(vrc_uri_io_file_eof(h.get()), 1);
    }

    Handle h = open_io(path, 0);
    watch(h.get());
    // Each step seeks, then reads 8 bytes.
    const struct { int whence; int64_t offset, target; bool moves_file; } steps[] = {
        {SEEK_SET, 100, 100, true},     // nothing held yet
        {SEEK_SET, 10, 10, true},       // before the held bytes
        {SEEK_SET, 4106, 4106, false},  // just past the last held byte: the next read refills
        {SEEK_SET, 4050, 4050, true},   // behind the refill: those bytes are gone
        {SEEK_CUR, -16, 4042, true},    // relative to where the caller reads
        {SEEK_CUR, 1000, 5050, false},
        {SEEK_SET, 30000, 30000, true},  // past the end
        {SEEK_SET, 20480, 20480, true},  // back below it
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.target);
        const int seeks = spy.seeks;
        ASSERT_EQ(vrc_uri_io_file_seek(h.get(), s.offset, s.whence), s.target);
        EXPECT_EQ(spy.seeks - seeks, s.moves_file ? 1 : 0);
        const int64_t end = std::min(s.target + 8, kSize);
        EXPECT_EQ(read_some(h.get(), 8), pattern(std::min(s.target, end), end));
        EXPECT_EQ(vrc_uri_io_file_eof(h.get()), s.target >= kSize ? 1 : 0);
    }
    // Refused or failed seeks leave the reader where it was.
    spy.fail_seeks = true;
    for (const auto &[offset, whence] : {std::make_pair(-1, SEEK_SET), std::make_pair(0, 7), std::make_pair(0, SEEK_SET)})
        EXPECT_EQ(vrc_uri_io_file_seek(h.get(), offset, whence), -1);
    EXPECT_EQ(read_some(h.get(), 8), pattern(20488, 20496));
}

// After every write, the file (and tell) holds the full buffers written so
// far. A seek flushes the rest first, and a failed one leaves the position
// where it was. At the end an append flushes what is pending, then writes
// buffer-sized chunks straight to the file. A seek back then patches one value
// in every integer writer's width and byte order, which only the closing
// flushes; every reader gives its value back, read across the buffer's end.
TEST(UriIo, WritesGoOutAFullBufferAtATimeAppendsGoStraightOutAndIntegersPatchInTheirByteOrder)
{
    constexpr uint64_t k64 = 0x0102030405060708ull;
    constexpr unsigned k32 = 0x05060708u, k16 = 0x0708u;
    const Bytes ints = {8, 7, 8, 8, 7, 5, 6, 7, 8, 8, 7, 6, 5, 1, 2, 3, 4, 5, 6, 7, 8, 8, 7, 6, 5, 4, 3, 2, 1};
    const struct { std::vector<int> plan; int64_t patch_at; } cases[] = {
        {{100}, 10}, {{4096, 10}, kBuf - 6}, {{1, 4095, 4097, 10000, 3, 8191}, 2 * kBuf - 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.plan));
        const std::string path = temp_path("write.bin");
        Handle h = open_io(path, VRC_URI_IO_FLAG_WRITE);
        watch(h.get());
        size_t total = 0;
        for (int size : c.plan) {
            ASSERT_EQ(write_bytes(h.get(), pattern(total, total + static_cast<size_t>(size))), 0);
            total += static_cast<size_t>(size);
            ASSERT_EQ(vrc_uri_io_file_tell(h.get()), static_cast<int>(total / kBuf * kBuf));
            ASSERT_EQ(read_file(path).size(), total / kBuf * kBuf);
        }
        spy.fail_seeks = true;
        EXPECT_EQ(vrc_uri_io_file_seek(h.get(), c.patch_at, SEEK_SET), -1);
        EXPECT_EQ(position(h.get()), static_cast<int64_t>(total));
        spy.fail_seeks = false;
        ASSERT_EQ(write_bytes(h.get(), pattern(total, total + 50)), 0);
        spy.writes.clear();
        ASSERT_EQ(vrc_uri_io_file_append_bytes(h.get(), 0x1AB, 10000), 0);
        EXPECT_EQ(spy.writes, (std::vector<int>{50, 4096, 4096, 1808}));
        ASSERT_EQ(vrc_uri_io_file_seek(h.get(), c.patch_at, SEEK_SET), c.patch_at);
        vrc_uri_io_file_t *w = h.get();
        for (int rc : {vrc_uri_io_file_w8(w, static_cast<int>(k32)), vrc_uri_io_file_wb16(w, k32),
                       vrc_uri_io_file_wl16(w, k32), vrc_uri_io_file_wb32(w, k32), vrc_uri_io_file_wl32(w, k32),
                       vrc_uri_io_file_wb64(w, k64), vrc_uri_io_file_wl64(w, k64)})
            EXPECT_EQ(rc, 0);
        h.reset();
        Bytes expected = pattern(0, total + 50);
        expected.insert(expected.end(), 10000, 0xAB);
        std::copy(ints.begin(), ints.end(), expected.begin() + c.patch_at);
        EXPECT_EQ(read_file(path), expected);

        h = open_io(path, 0);
        ASSERT_EQ(read_some(h.get(), static_cast<int>(c.patch_at)).size(), static_cast<size_t>(c.patch_at));
        vrc_uri_io_file_t *r = h.get();
        const std::vector<uint64_t> read = {vrc_uri_io_file_r8(r),   vrc_uri_io_file_rb16(r), vrc_uri_io_file_rl16(r),
                                            vrc_uri_io_file_rb32(r), vrc_uri_io_file_rl32(r), vrc_uri_io_file_rb64(r),
                                            vrc_uri_io_file_rl64(r)};
        EXPECT_EQ(read, (std::vector<uint64_t>{8, k16, k16, k32, k32, k64, k64}));
    }
}

// A write that comes up one byte short, or meets a full disk, sticks: from
// then on nothing reaches the file, and every flush, filling write, move and
// fill reports it.
TEST(UriIo, FailedWritesStickAndAreNeverReportedAsSuccess)
{
    for (const bool full_disk : {false, true}) {
        for (const bool by_append : {false, true}) {
#if defined(_WIN32)
            if (full_disk) continue;  // no /dev/full on Windows
#endif
            const std::string path = full_disk ? "/dev/full" : temp_path("short.bin");
            SCOPED_TRACE(path + (by_append ? " append" : " write"));
            Handle h = open_io(path, VRC_URI_IO_FLAG_WRITE);
            ASSERT_TRUE(h);
            watch(h.get());
            spy.short_writes = !full_disk;
            if (by_append) {
                EXPECT_EQ(vrc_uri_io_file_append_bytes(h.get(), 0, 10000), -1);
            } else {
                EXPECT_EQ(write_bytes(h.get(), pattern(0, 10)), 0);
                EXPECT_EQ(vrc_uri_io_file_flush(h.get()), -1000);
            }
            EXPECT_EQ(vrc_uri_io_file_flush(h.get()), -1000);
            EXPECT_EQ(write_bytes(h.get(), pattern(0, 2 * kBuf)), -1000);
            int rc = 0;
            for (int i = 0; i < kBuf && rc == 0; ++i) rc = vrc_uri_io_file_w8(h.get(), i);
            EXPECT_EQ(rc, -1000);
            EXPECT_EQ(vrc_uri_io_file_seek(h.get(), 12345, SEEK_SET), -1);
            EXPECT_EQ(vrc_uri_io_file_append_bytes(h.get(), 0, 10), -1);
            EXPECT_EQ(spy.writes.size(), 1u);
            EXPECT_EQ(vrc_uri_io_file_free(h.release()), 0);
            if (!full_disk) {
                EXPECT_EQ(read_file(path).size(), by_append ? size_t{kBuf - 1} : 9u);
            }
        }
    }
}

// The path encoding is the calling thread's: UTF-8 on one leaves the other
// threads on the default, the ANSI code page; in UTF-8 a name the code page
// cannot hold ("中文") reaches the file of that name.
TEST(UriIo, PathEncodingIsTheCallingThreads)
{
    const std::string name = temp_path("\xe4\xb8\xad\xe6\x96\x87.bin");
    EXPECT_EQ(vrc_uri_io_set_path_encoding(3), -1);
    EXPECT_EQ(vrc_uri_io_set_path_encoding(VRC_PATH_ENCODING_UTF8), VRC_PATH_ENCODING_ANSI);
    std::thread([] { EXPECT_EQ(vrc_uri_io_set_path_encoding(VRC_PATH_ENCODING_UTF8), VRC_PATH_ENCODING_ANSI); })
        .join();
    EXPECT_EQ(write_bytes(open_io(name, VRC_URI_IO_FLAG_WRITE).get(), pattern(0, 10)), 0);
    EXPECT_EQ(std::filesystem::file_size(std::filesystem::u8path(name)), 10u);
    EXPECT_EQ(vrc_uri_io_set_path_encoding(VRC_PATH_ENCODING_ANSI), VRC_PATH_ENCODING_UTF8);
}
