#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#if !defined(_WIN32)
#  include <fcntl.h>
#  include <sys/stat.h>
#  include <unistd.h>
#endif

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
Bytes pattern(size_t from, size_t to)
{
    Bytes out;
    for (size_t i = from; i < to; ++i) out.push_back(static_cast<uint8_t>(i ^ (i >> 8) ^ (i >> 16)));
    return out;
}

std::string file_with(const std::string &name, const Bytes &bytes)
{
    const std::string path = temp_path(name);
    vrc_test::write_file(path, bytes);
    return path;
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

// File position of the next byte a reading handle delivers.
int64_t read_position(const vrc_uri_io_file_t *h)
{
    return h->pos - (h->buf_end - h->buf_cur);
}

// Watches (and can spoil) the protocol's writes and seeks of one handle.
struct Spy {
    int seeks = 0;
    std::vector<int> writes;  // sizes asked of the protocol
    bool short_writes = false;  // each write comes up one byte short
    bool fail_seeks = false;
    int (*write)(void *, const uint8_t *, int) = nullptr;
    int64_t (*seek)(void *, int64_t, int) = nullptr;
};
Spy spy;

int spy_write(void *stream, const uint8_t *src, int size)
{
    spy.writes.push_back(size);
    return spy.write(stream, src, spy.short_writes ? size - 1 : size);
}

int64_t spy_seek(void *stream, int64_t offset, int whence)
{
    ++spy.seeks;
    return spy.fail_seeks ? -1 : spy.seek(stream, offset, whence);
}

void watch(vrc_uri_io_file_t *h)
{
    spy = Spy{};
    spy.write = h->write_packet;
    spy.seek = h->seek;
    h->write_packet = spy_write;
    h->seek = spy_seek;
}

}  // namespace

TEST(UriIo, OpensPlainPathsOnlyAndRefusesNulls)
{
    const std::string missing = temp_path("missing.bin");
    const struct { std::string uri; bool opens; std::vector<std::string> printed; } cases[] = {  // printed in order
        {"http://cam/rec.mp4", false,
         {"uri_type is VRC_URI_TYPE_UNKNOWNformat is faill\n", "]Not support uri protocol: http://cam/rec.mp4\n"}},
        {missing, false,
         {"uri_type is VRC_URI_TYPE_UNIX_FS", "]open " + missing + " failed: ", "]open " + missing + " failed -1\n"}},
        {file_with("present.bin", {}), true, {"uri_type is VRC_URI_TYPE_UNIX_FSopen is succeed\n"}},
    };
    for (const auto &c : cases) {
        Handle h(nullptr, vrc_uri_io_file_free);
        const std::string printed = vrc_test::printed_by([&] { h.reset(vrc_uri_io_file_new(0, c.uri.c_str())); });
        EXPECT_EQ(h != nullptr, c.opens) << c.uri;
        size_t at = 0;
        for (const std::string &part : c.printed) ASSERT_NE(at = printed.find(part, at), std::string::npos) << printed;
    }
    EXPECT_EQ(vrc_uri_io_file_new(0, nullptr), nullptr);
    Handle writer = open_io(temp_path("new.bin"), VRC_URI_IO_FLAG_WRITE);
    ASSERT_TRUE(writer);
    char byte;
    EXPECT_EQ(vrc_uri_io_file_read(writer.get(), &byte, 1), -1);  // a writing handle does not read
    EXPECT_EQ(vrc_uri_io_file_free(nullptr), -1);
    EXPECT_EQ(vrc_uri_io_file_read(nullptr, &byte, 1), 0);
    EXPECT_EQ(vrc_uri_io_file_seek(nullptr, 0, SEEK_SET), -1);
    EXPECT_EQ(vrc_uri_io_file_tell(nullptr), -1);
    EXPECT_EQ(vrc_uri_io_file_eof(nullptr), -1);
}

// Whatever the chunking, the bytes come in order, and tell is the file position
// of a reader that refills its 4096-byte buffer only when it is used up.
TEST(UriIo, BlockReadsDeliverTheFileWhateverTheChunking)
{
    constexpr size_t kSize = 5 * kBuf + 17;
    const std::string path = file_with("read.bin", pattern(0, kSize));
    const std::vector<std::vector<int>> plans = {
        {1}, {4095}, {4096}, {4097}, {44, 4052, 1}, {3, 8192, 5000, 4095, 4097}, {kSize + 9}};
    for (const std::vector<int> &plan : plans) {
        SCOPED_TRACE(testing::PrintToString(plan));
        Handle h = open_io(path, 0);
        ASSERT_TRUE(h);
        size_t done = 0;
        for (size_t step = 0; done < kSize; ++step) {
            const size_t want = static_cast<size_t>(plan[step % plan.size()]);
            ASSERT_EQ(read_some(h.get(), static_cast<int>(want)), pattern(done, std::min(done + want, kSize)));
            done = std::min(done + want, kSize);
            ASSERT_EQ(read_position(h.get()), static_cast<int64_t>(done));
            const size_t refilled = std::min((done + kBuf - 1) / kBuf * kBuf, kSize);
            ASSERT_EQ(vrc_uri_io_file_tell(h.get()), static_cast<int>(refilled));
        }
        EXPECT_EQ(read_some(h.get(), 5).size(), 0u);
        EXPECT_EQ(vrc_uri_io_file_eof(h.get()), 1);
        EXPECT_EQ(vrc_uri_io_file_r8(h.get()), 0u);
    }
}

// Every writer gets its width of one value (and must cut it there), written
// across the buffer's end; every reader gives it back.
TEST(UriIo, IntegerWritersAndReadersUseTheirByteOrder)
{
    constexpr uint64_t k64 = 0x0102030405060708ull;
    constexpr unsigned k32 = 0x05060708u, k16 = 0x0708u;
    const std::string path = temp_path("ints.bin");
    Bytes expected = pattern(0, kBuf - 3);
    Handle h = open_io(path, VRC_URI_IO_FLAG_WRITE);
    ASSERT_EQ(write_bytes(h.get(), expected), 0);
    vrc_uri_io_file_t *w = h.get();
    for (int rc : {vrc_uri_io_file_w8(w, static_cast<int>(k32)), vrc_uri_io_file_wb16(w, k32),
                   vrc_uri_io_file_wl16(w, k32), vrc_uri_io_file_wb32(w, k32), vrc_uri_io_file_wl32(w, k32),
                   vrc_uri_io_file_wb64(w, k64), vrc_uri_io_file_wl64(w, k64)})
        EXPECT_EQ(rc, 0);
    h.reset();
    const Bytes written = {8, 7, 8, 8, 7, 5, 6, 7, 8, 8, 7, 6, 5, 1, 2, 3, 4, 5, 6, 7, 8, 8, 7, 6, 5, 4, 3, 2, 1};
    expected.insert(expected.end(), written.begin(), written.end());
    ASSERT_EQ(read_file(path), expected);

    h = open_io(path, 0);
    ASSERT_EQ(read_some(h.get(), kBuf - 3).size(), size_t{kBuf - 3});
    vrc_uri_io_file_t *r = h.get();
    const std::vector<uint64_t> read = {vrc_uri_io_file_r8(r),   vrc_uri_io_file_rb16(r), vrc_uri_io_file_rl16(r),
                                        vrc_uri_io_file_rb32(r), vrc_uri_io_file_rl32(r), vrc_uri_io_file_rb64(r),
                                        vrc_uri_io_file_rl64(r)};
    EXPECT_EQ(read, (std::vector<uint64_t>{8, k16, k16, k32, k32, k64, k64}));
    h = open_io(file_with("short.bin", {1, 2, 3}), 0);
    EXPECT_EQ(vrc_uri_io_file_rb32(h.get()), 0x01020300u);  // a missing byte reads as 0
}

// After every write, the file (and tell) holds the full buffers written so
// far. A seek back flushes the rest first, the patch lands where asked, and
// the writing goes on at the end.
TEST(UriIo, WritesGoOutAFullBufferAtATimeAndSeeksBackPatch)
{
    const struct { std::vector<int> plan; int64_t patch_at; } cases[] = {
        {{100}, 10}, {{4095, 1}, 4}, {{4096, 10}, 4092}, {{4097}, 4093},
        {{1, 4095, 4096, 4097, 10000, 65536, 3, 8191, 8193, 12288}, 8190}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.plan));
        const std::string path = temp_path("write.bin");
        Handle h = open_io(path, VRC_URI_IO_FLAG_WRITE);
        ASSERT_TRUE(h);
        size_t total = 0;
        for (int size : c.plan) {
            ASSERT_EQ(write_bytes(h.get(), pattern(total, total + static_cast<size_t>(size))), 0);
            total += static_cast<size_t>(size);
            ASSERT_EQ(vrc_uri_io_file_tell(h.get()), static_cast<int>(total / kBuf * kBuf));
            ASSERT_EQ(read_file(path).size(), total / kBuf * kBuf);
        }
        ASSERT_EQ(vrc_uri_io_file_seek(h.get(), c.patch_at, SEEK_SET), c.patch_at);
        EXPECT_EQ(read_file(path), pattern(0, total));
        ASSERT_EQ(vrc_uri_io_file_wb32(h.get(), 0xDEADBEEF), 0);
        const auto end = static_cast<int64_t>(total);
        ASSERT_EQ(vrc_uri_io_file_seek(h.get(), end, SEEK_SET), end);
        ASSERT_EQ(write_bytes(h.get(), pattern(total, total + 50)), 0);
        EXPECT_EQ(vrc_uri_io_file_flush(h.get()), 0);
        EXPECT_EQ(vrc_uri_io_file_tell(h.get()), static_cast<int>(total + 50));
        Bytes expected = pattern(0, total + 50);
        const Bytes patch = {0xDE, 0xAD, 0xBE, 0xEF};
        std::copy(patch.begin(), patch.end(), expected.begin() + c.patch_at);
        EXPECT_EQ(read_file(path), expected);
    }

    // Single bytes fill the buffer the same way.
    const std::string path = temp_path("bytes.bin");
    Handle h = open_io(path, VRC_URI_IO_FLAG_WRITE);
    const Bytes bytes = pattern(0, kBuf);
    for (size_t i = 0; i + 1 < bytes.size(); ++i) ASSERT_EQ(vrc_uri_io_file_w8(h.get(), bytes[i]), 0);
    EXPECT_EQ(read_file(path).size(), 0u);
    ASSERT_EQ(vrc_uri_io_file_w8(h.get(), bytes.back()), 0);
    EXPECT_EQ(read_file(path), bytes);

    // The logical position is where the next byte goes, pending bytes or not.
    h = open_io(path, VRC_URI_IO_FLAG_WRITE);
    watch(h.get());
    ASSERT_EQ(write_bytes(h.get(), pattern(0, 20)), 0);
    EXPECT_EQ(vrc_uri_io_file_seek(h.get(), 20, SEEK_SET), 20);
    EXPECT_EQ(spy.writes.size() + static_cast<size_t>(spy.seeks), 0u);  // nothing flushed, nothing moved
    EXPECT_EQ(vrc_uri_io_file_seek(h.get(), -10, SEEK_CUR), 10);
    ASSERT_EQ(vrc_uri_io_file_w8(h.get(), 'Z'), 0);
    EXPECT_EQ(vrc_uri_io_file_seek(h.get(), 10, SEEK_SET), 10);  // pos is 10, the next byte would go to 11
    ASSERT_EQ(vrc_uri_io_file_w8(h.get(), 'Y'), 0);
    h.reset();
    Bytes expected = pattern(0, 20);
    expected[10] = 'Y';
    EXPECT_EQ(read_file(path), expected);
}

TEST(UriIo, ReaderSeeksWithinHeldBytesWithoutMovingTheFile)
{
    constexpr int64_t kSize = 20000;
    Handle h = open_io(file_with("seek.bin", pattern(0, kSize)), 0);
    ASSERT_TRUE(h);
    watch(h.get());
    // Each step seeks, then reads 8 bytes.
    const struct { int whence; int64_t offset, target; bool moves_file; } steps[] = {
        {SEEK_SET, 100, 100, true},    // nothing held yet
        {SEEK_SET, 10, 10, true},      // before the held bytes
        {SEEK_SET, 4000, 4000, false},
        {SEEK_SET, 4106, 4106, false}, // just past the last held byte: the next read refills
        {SEEK_SET, 4050, 4050, true},  // behind the refill: those bytes are gone
        {SEEK_CUR, -16, 4042, true},   // relative to where the caller reads
        {SEEK_CUR, 1000, 5050, false},
        {SEEK_CUR, 6000, 11058, true},
        {SEEK_SET, 11066, 11066, false},  // where the next read starts anyway
        {SEEK_SET, 4041, 4041, true},
        {SEEK_SET, 30000, 30000, true},   // past the end
        {SEEK_SET, 19990, 19990, true},   // back below the end
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.target);
        const int seeks = spy.seeks;
        ASSERT_EQ(vrc_uri_io_file_seek(h.get(), s.offset, s.whence), s.target);
        EXPECT_EQ(spy.seeks - seeks, s.moves_file ? 1 : 0);
        EXPECT_EQ(read_position(h.get()), s.target);
        const int64_t end = std::min(s.target + 8, kSize);
        const size_t start = static_cast<size_t>(std::min(s.target, end));
        EXPECT_EQ(read_some(h.get(), 8), pattern(start, static_cast<size_t>(end)));
        EXPECT_EQ(vrc_uri_io_file_eof(h.get()), s.target >= kSize ? 1 : 0);
    }
    EXPECT_EQ(read_some(h.get(), 8).size(), 2u);
    EXPECT_EQ(vrc_uri_io_file_seek(h.get(), kSize, SEEK_SET), kSize);
    EXPECT_EQ(vrc_uri_io_file_eof(h.get()), 1);  // only a seek below the end clears it
}

TEST(UriIo, RefusedOrFailedSeeksLeaveTheHandleAsItWas)
{
    Handle r = open_io(file_with("refuse.bin", pattern(0, 9000)), 0);
    ASSERT_TRUE(r);
    watch(r.get());
    ASSERT_EQ(read_some(r.get(), 100), pattern(0, 100));
    spy.fail_seeks = true;
    const struct { int64_t offset; int whence; } refused[] = {
        {-1, SEEK_SET}, {-101, SEEK_CUR}, {0, 7}, {8000, SEEK_SET}};
    for (const auto &s : refused) EXPECT_EQ(vrc_uri_io_file_seek(r.get(), s.offset, s.whence), -1);
    EXPECT_EQ(read_some(r.get(), 8), pattern(100, 108));

    // A writer flushes before it moves: the bytes stay, the position with them.
    const std::string path = temp_path("refuse_w.bin");
    Handle w = open_io(path, VRC_URI_IO_FLAG_WRITE);
    watch(w.get());
    spy.fail_seeks = true;
    ASSERT_EQ(write_bytes(w.get(), pattern(0, 10)), 0);
    EXPECT_EQ(vrc_uri_io_file_seek(w.get(), 2, SEEK_SET), -1);
    ASSERT_EQ(write_bytes(w.get(), pattern(10, 12)), 0);
    w.reset();
    EXPECT_EQ(read_file(path), pattern(0, 12));
#if !defined(_WIN32)
    // The file protocol on a stream that cannot seek reports the failure.
    const std::string pipe = temp_path("pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const int keep_open = open(pipe.c_str(), O_RDWR);  // so opening for reading does not block
    ASSERT_EQ(write(keep_open, "abcdefgh", 8), 8);
    Handle h = open_io(pipe, 0);
    ASSERT_TRUE(h);
    close(keep_open);  // the reader then meets the end after the 8 bytes
    ASSERT_EQ(vrc_uri_io_file_r8(h.get()), static_cast<unsigned>('a'));
    EXPECT_EQ(vrc_test::printed_by([&] { EXPECT_EQ(vrc_uri_io_file_seek(h.get(), 5000, SEEK_SET), -1); }),
              "fseek is err");
    EXPECT_EQ(vrc_uri_io_file_r8(h.get()), static_cast<unsigned>('b'));
#endif
}

TEST(UriIo, AppendBytesFlushesThenWritesChunksStraightToTheFile)
{
    const struct { int count; std::vector<int> writes; } cases[] = {  // the 3 pending bytes, then the chunks
        {10000, {3, 4096, 4096, 1808}}, {0, {3}}, {4096, {3, 4096}}, {1, {3, 1}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.count);
        const std::string path = temp_path("append.bin");
        Handle h = open_io(path, VRC_URI_IO_FLAG_WRITE);
        watch(h.get());
        ASSERT_EQ(write_bytes(h.get(), {'a', 'b', 'c'}), 0);
        ASSERT_EQ(vrc_uri_io_file_append_bytes(h.get(), 0x1AB, c.count), 0);
        EXPECT_EQ(spy.writes, c.writes);
        EXPECT_EQ(vrc_uri_io_file_tell(h.get()), 3 + c.count);
        ASSERT_EQ(vrc_uri_io_file_w8(h.get(), 'z'), 0);  // right after them: nothing was left pending
        h.reset();
        Bytes expected = {'a', 'b', 'c'};
        expected.insert(expected.end(), static_cast<size_t>(c.count), 0xAB);
        expected.push_back('z');
        EXPECT_EQ(read_file(path), expected);
    }
}

// A write that comes up one byte short, or meets a full disk, sticks: from
// then on nothing reaches the file, and every flush, filling write, move and
// fill reports it.
TEST(UriIo, FailedWritesStickAndAreNeverReportedAsSuccess)
{
    const auto flush_ten = [](vrc_uri_io_file_t *h) {
        EXPECT_EQ(write_bytes(h, pattern(0, 10)), 0);
        return vrc_uri_io_file_flush(h);
    };
    const auto append = [](vrc_uri_io_file_t *h) { return vrc_uri_io_file_append_bytes(h, 0, 10000); };
    const struct { bool full_disk; std::function<int(vrc_uri_io_file_t *)> act; int rc; size_t on_disk; } cases[] = {
        {false, flush_ten, -1000, 9},
        {false, [](vrc_uri_io_file_t *h) { return write_bytes(h, pattern(0, kBuf)); }, -1000, kBuf - 1},
        {false, append, -1, kBuf - 1},
        {true, flush_ten, -1000, 0},
        {true, append, -1, 0},
    };
    for (const auto &c : cases) {
#if defined(_WIN32)
        if (c.full_disk) continue;  // no /dev/full on Windows
#endif
        const std::string path = c.full_disk ? "/dev/full" : temp_path("short.bin");
        SCOPED_TRACE(testing::Message() << path << " rc " << c.rc << " on disk " << c.on_disk);
        Handle h = open_io(path, VRC_URI_IO_FLAG_WRITE);
        ASSERT_TRUE(h);
        watch(h.get());
        spy.short_writes = !c.full_disk;
        EXPECT_EQ(c.act(h.get()), c.rc);
        EXPECT_EQ(h->error, -1000);
        EXPECT_EQ(vrc_uri_io_file_tell(h.get()), 0);
        EXPECT_EQ(vrc_uri_io_file_flush(h.get()), -1000);
        EXPECT_EQ(write_bytes(h.get(), pattern(0, 100)), 0);
        EXPECT_EQ(write_bytes(h.get(), pattern(0, kBuf)), -1000);
        EXPECT_EQ(write_bytes(h.get(), pattern(0, 2 * kBuf)), -1000);
        int rc = 0;
        for (int i = 0; i < kBuf && rc == 0; ++i) rc = vrc_uri_io_file_w8(h.get(), i);
        EXPECT_EQ(rc, -1000);
        EXPECT_EQ(vrc_uri_io_file_seek(h.get(), 12345, SEEK_SET), -1);
        EXPECT_EQ(vrc_uri_io_file_append_bytes(h.get(), 0, 10), -1);
        EXPECT_EQ(h->error, -1000);
        EXPECT_EQ(spy.writes.size(), 1u);
        EXPECT_EQ(vrc_uri_io_file_free(h.release()), 0);
        if (!c.full_disk) {
            EXPECT_EQ(read_file(path).size(), c.on_disk);
        }
    }
}
