#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
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

// Byte i of the test pattern; a shift by 256 or 4096 bytes changes it.
uint8_t pattern_byte(size_t i)
{
    return static_cast<uint8_t>(i ^ (i >> 8) ^ (i >> 16));
}

Bytes pattern(size_t from, size_t to)
{
    Bytes out;
    for (size_t i = from; i < to; ++i) out.push_back(pattern_byte(i));
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
    const int n = vrc_uri_io_file_read(h, out.data(), size);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

int write_bytes(vrc_uri_io_file_t *h, const Bytes &bytes)
{
    return vrc_uri_io_file_write(h, bytes.data(), static_cast<int>(bytes.size()));
}

// An integer writer taking the 64-bit test value cut to its own width.
template <typename T>
std::function<int(vrc_uri_io_file_t *, uint64_t)> narrowed(int (*write)(vrc_uri_io_file_t *, T))
{
    return [write](vrc_uri_io_file_t *h, uint64_t value) { return write(h, static_cast<T>(value)); };
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
    int short_from = -1;      // index of the first write that comes up one byte short
    bool fail_seeks = false;
    int (*write)(void *, const uint8_t *, int) = nullptr;
    int64_t (*seek)(void *, int64_t, int) = nullptr;
};
Spy spy;

int spy_write(void *stream, const uint8_t *src, int size)
{
    const bool cut = spy.short_from >= 0 && static_cast<int>(spy.writes.size()) >= spy.short_from;
    spy.writes.push_back(size);
    return spy.write(stream, src, cut ? size - 1 : size);
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

TEST(UriIo, OpensPlainPathsAndRefusesOtherUris)
{
    EXPECT_EQ(VRC_URI_IO_FILE_BUFSIZE, kBuf);
    EXPECT_EQ(VRC_URI_IO_FILE_READSIZE_ONCE, kBuf);
    EXPECT_EQ(vrc_uri_io_file_new(0, nullptr), nullptr);

    const std::string missing = temp_path("missing.bin");
    const struct {
        std::string uri;
        std::vector<std::string> printed;  // in this order
    } refused[] = {
        {"http://cam/rec.mp4",
         {"uri_type is VRC_URI_TYPE_UNKNOWNformat is faill\n", "]Not support uri protocol: http://cam/rec.mp4\n"}},
        {missing,
         {"uri_type is VRC_URI_TYPE_UNIX_FS", "]open " + missing + " failed: ", "]open " + missing + " failed -1\n"}},
    };
    for (const auto &r : refused) {
        const std::string printed =
            vrc_test::printed_by([&] { EXPECT_EQ(vrc_uri_io_file_new(0, r.uri.c_str()), nullptr); });
        size_t at = 0;
        for (const std::string &part : r.printed) ASSERT_NE(at = printed.find(part, at), std::string::npos) << printed;
    }

    const std::string path = file_with("present.bin", pattern(0, 10));
    Handle reader(nullptr, vrc_uri_io_file_free);
    EXPECT_EQ(vrc_test::printed_by([&] { reader.reset(vrc_uri_io_file_new(0, path.c_str())); }),
              "uri_type is VRC_URI_TYPE_UNIX_FSopen is succeed\n");
    ASSERT_TRUE(reader);
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

TEST(UriIo, BlockReadsDeliverTheFileWhateverTheChunking)
{
    constexpr size_t kSize = 5 * kBuf + 17;
    const Bytes content = pattern(0, kSize);
    const std::string path = file_with("read.bin", content);
    const std::vector<std::vector<int>> plans = {
        {1}, {4095}, {4096}, {4097}, {44, 4052, 1}, {10000}, {3, 8192, 5000, 4095, 4097}, {kSize}, {kSize + 9},
    };
    for (const std::vector<int> &plan : plans) {
        SCOPED_TRACE(testing::PrintToString(plan));
        Handle h = open_io(path, 0);
        ASSERT_TRUE(h);
        size_t done = 0;
        for (size_t step = 0; done < kSize; ++step) {
            const int want = plan[step % plan.size()];
            const Bytes got = read_some(h.get(), want);
            const size_t expected = std::min(static_cast<size_t>(want), kSize - done);
            ASSERT_EQ(got.size(), expected);
            ASSERT_TRUE(std::equal(got.begin(), got.end(), content.begin() + static_cast<std::ptrdiff_t>(done)));
            done += got.size();
            ASSERT_EQ(read_position(h.get()), static_cast<int64_t>(done));
            ASSERT_EQ(vrc_uri_io_file_tell(h.get()), static_cast<int>(h->pos));
        }
        EXPECT_EQ(read_some(h.get(), 5).size(), 0u);
        EXPECT_EQ(vrc_uri_io_file_eof(h.get()), 1);
        EXPECT_EQ(vrc_uri_io_file_r8(h.get()), 0u);
    }
}

TEST(UriIo, EndOfFileIsClearedOnlyBySeekingBelowIt)
{
    Handle empty = open_io(file_with("empty.bin", {}), 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(read_some(empty.get(), 16).size(), 0u);
    EXPECT_EQ(vrc_uri_io_file_eof(empty.get()), 1);
    EXPECT_EQ(vrc_uri_io_file_r8(empty.get()), 0u);
    EXPECT_EQ(vrc_uri_io_file_seek(empty.get(), 0, SEEK_SET), 0);
    EXPECT_EQ(vrc_uri_io_file_eof(empty.get()), 1);  // 0 is not below the end

    Handle ten = open_io(file_with("ten.bin", pattern(0, 10)), 0);
    ASSERT_TRUE(ten);
    EXPECT_EQ(read_some(ten.get(), 16), pattern(0, 10));
    EXPECT_EQ(read_some(ten.get(), 16).size(), 0u);
    EXPECT_EQ(vrc_uri_io_file_eof(ten.get()), 1);
    EXPECT_EQ(vrc_uri_io_file_seek(ten.get(), 0, SEEK_SET), 0);
    EXPECT_EQ(vrc_uri_io_file_eof(ten.get()), 0);
    EXPECT_EQ(read_some(ten.get(), 16), pattern(0, 10));
}

TEST(UriIo, IntegerWritersAndReadersUseTheirByteOrder)
{
    // Every writer gets this value (cut to its width) and every reader must give it back.
    constexpr uint64_t kValue = 0x0102030405060708ull;
    const struct {
        std::function<int(vrc_uri_io_file_t *, uint64_t)> write;
        std::function<uint64_t(vrc_uri_io_file_t *)> read;
        Bytes bytes;
    } cases[] = {
        {narrowed(vrc_uri_io_file_w8), vrc_uri_io_file_r8, {8}},
        {narrowed(vrc_uri_io_file_wb16), vrc_uri_io_file_rb16, {7, 8}},
        {narrowed(vrc_uri_io_file_wl16), vrc_uri_io_file_rl16, {8, 7}},
        {narrowed(vrc_uri_io_file_wb32), vrc_uri_io_file_rb32, {5, 6, 7, 8}},
        {narrowed(vrc_uri_io_file_wl32), vrc_uri_io_file_rl32, {8, 7, 6, 5}},
        {narrowed(vrc_uri_io_file_wb64), vrc_uri_io_file_rb64, {1, 2, 3, 4, 5, 6, 7, 8}},
        {narrowed(vrc_uri_io_file_wl64), vrc_uri_io_file_rl64, {8, 7, 6, 5, 4, 3, 2, 1}},
    };
    // Each value is written once at the start and once across the buffer's end.
    for (size_t lead : {size_t{0}, size_t{kBuf - 3}}) {
        SCOPED_TRACE(lead);
        const std::string path = temp_path("ints.bin");
        Bytes expected = pattern(0, lead);
        {
            Handle w = open_io(path, VRC_URI_IO_FLAG_WRITE);
            ASSERT_TRUE(w);
            ASSERT_EQ(write_bytes(w.get(), expected), 0);
            for (const auto &c : cases) {
                ASSERT_EQ(c.write(w.get(), kValue), 0);
                expected.insert(expected.end(), c.bytes.begin(), c.bytes.end());
            }
        }
        ASSERT_EQ(read_file(path), expected);
        Handle r = open_io(path, 0);
        ASSERT_TRUE(r);
        ASSERT_EQ(read_some(r.get(), static_cast<int>(lead)).size(), lead);
        for (const auto &c : cases)
            EXPECT_EQ(c.read(r.get()), c.bytes.size() == 8 ? kValue : kValue & ((1ull << (8 * c.bytes.size())) - 1));
    }

    Handle h = open_io(file_with("0102.bin", {0, 0, 1, 2}), 0);
    EXPECT_EQ(vrc_uri_io_file_rb32(h.get()), 258u);
    EXPECT_EQ(vrc_uri_io_file_seek(h.get(), 0, SEEK_SET), 0);
    EXPECT_EQ(vrc_uri_io_file_rl32(h.get()), 33619968u);
    h = open_io(file_with("short.bin", {1, 2, 3}), 0);
    EXPECT_EQ(vrc_uri_io_file_rb32(h.get()), 0x01020300u);  // a missing byte reads as 0
}

// After every write, the bytes on disk (and tell) are the full buffers
// written so far; a flush adds the rest.
TEST(UriIo, WritesGoOutAFullBufferAtATime)
{
    const std::vector<std::vector<int>> plans = {
        {4095, 1}, {4096, 10}, {4097}, {1, 4095, 4096, 4097, 10000, 65536, 3, 8191, 8193, 12288},
    };
    for (const std::vector<int> &plan : plans) {
        SCOPED_TRACE(testing::PrintToString(plan));
        const std::string path = temp_path("write.bin");
        Handle h = open_io(path, VRC_URI_IO_FLAG_WRITE);
        ASSERT_TRUE(h);
        size_t total = 0;
        for (int size : plan) {
            ASSERT_EQ(write_bytes(h.get(), pattern(total, total + static_cast<size_t>(size))), 0);
            total += static_cast<size_t>(size);
            const size_t out = total - total % kBuf;
            ASSERT_EQ(vrc_uri_io_file_tell(h.get()), static_cast<int>(out));
            ASSERT_EQ(read_file(path).size(), out);
        }
        EXPECT_EQ(vrc_uri_io_file_flush(h.get()), 0);
        EXPECT_EQ(vrc_uri_io_file_tell(h.get()), static_cast<int>(total));
        EXPECT_EQ(read_file(path), pattern(0, total));
    }

    const std::string path = temp_path("bytes.bin");
    Handle h = open_io(path, VRC_URI_IO_FLAG_WRITE);
    for (int i = 0; i < kBuf - 1; ++i) ASSERT_EQ(vrc_uri_io_file_w8(h.get(), pattern_byte(static_cast<size_t>(i))), 0);
    EXPECT_EQ(read_file(path).size(), 0u);
    ASSERT_EQ(vrc_uri_io_file_w8(h.get(), pattern_byte(kBuf - 1)), 0);
    EXPECT_EQ(read_file(path), pattern(0, kBuf));
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
}

TEST(UriIo, RefusedOrFailedSeeksLeaveTheHandleAsItWas)
{
    Handle r = open_io(file_with("refuse.bin", pattern(0, 9000)), 0);
    ASSERT_TRUE(r);
    watch(r.get());
    ASSERT_EQ(read_some(r.get(), 100), pattern(0, 100));
    const int64_t pos = r->pos;
    spy.fail_seeks = true;
    const struct { int64_t offset; int whence; } refused[] = {
        {-1, SEEK_SET}, {-101, SEEK_CUR}, {0, 7}, {8000, SEEK_SET}};
    for (const auto &s : refused) EXPECT_EQ(vrc_uri_io_file_seek(r.get(), s.offset, s.whence), -1);
    EXPECT_EQ(r->pos, pos);
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
}

#if !defined(_WIN32)
TEST(UriIo, StreamThatCannotSeekReportsFailure)
{
    const std::string path = temp_path("pipe");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const int keep_open = open(path.c_str(), O_RDWR);  // so opening for reading does not block
    ASSERT_GE(keep_open, 0);
    ASSERT_EQ(write(keep_open, "abcdefgh", 8), 8);
    Handle h = open_io(path, 0);
    ASSERT_TRUE(h);
    close(keep_open);  // the reader then meets the end after the 8 bytes
    EXPECT_EQ(vrc_uri_io_file_r8(h.get()), static_cast<unsigned>('a'));
    const std::string printed =
        vrc_test::printed_by([&] { EXPECT_EQ(vrc_uri_io_file_seek(h.get(), 5000, SEEK_SET), -1); });
    EXPECT_EQ(printed, "fseek is err");
    EXPECT_EQ(vrc_uri_io_file_r8(h.get()), static_cast<unsigned>('b'));
}
#endif

TEST(UriIo, WriterSeeksBackToPatchInsideAndOutsideTheBuffer)
{
    const struct {
        size_t before;  // bytes written before the patch
        int64_t at;
    } cases[] = {{100, 10}, {10000, 4}, {10000, 8190}, {4096, 4092}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.before);
        const std::string path = temp_path("patch.bin");
        Handle h = open_io(path, VRC_URI_IO_FLAG_WRITE);
        ASSERT_EQ(write_bytes(h.get(), pattern(0, c.before)), 0);
        ASSERT_EQ(vrc_uri_io_file_seek(h.get(), c.at, SEEK_SET), c.at);
        ASSERT_EQ(vrc_uri_io_file_wb32(h.get(), 0xDEADBEEF), 0);
        const auto end = static_cast<int64_t>(c.before);
        ASSERT_EQ(vrc_uri_io_file_seek(h.get(), end, SEEK_SET), end);
        ASSERT_EQ(write_bytes(h.get(), pattern(c.before, c.before + 50)), 0);
        h.reset();
        Bytes expected = pattern(0, c.before + 50);
        const Bytes patch = {0xDE, 0xAD, 0xBE, 0xEF};
        std::copy(patch.begin(), patch.end(), expected.begin() + static_cast<std::ptrdiff_t>(c.at));
        EXPECT_EQ(read_file(path), expected);
    }

    // The logical position is where the next byte goes, pending bytes or not.
    const std::string path = temp_path("logical.bin");
    Handle h = open_io(path, VRC_URI_IO_FLAG_WRITE);
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

TEST(UriIo, AppendBytesWritesChunksStraightToTheFile)
{
    const struct {
        int count;
        std::vector<int> writes;  // after the flush of the 3 pending bytes
    } cases[] = {{10000, {4096, 4096, 1808}}, {0, {}}, {4096, {4096}}, {1, {1}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.count);
        const std::string path = temp_path("append.bin");
        Handle h = open_io(path, VRC_URI_IO_FLAG_WRITE);
        watch(h.get());
        ASSERT_EQ(write_bytes(h.get(), {'a', 'b', 'c'}), 0);
        ASSERT_EQ(vrc_uri_io_file_append_bytes(h.get(), 0x1AB, c.count), 0);
        std::vector<int> expected_writes = {3};
        expected_writes.insert(expected_writes.end(), c.writes.begin(), c.writes.end());
        EXPECT_EQ(spy.writes, expected_writes);
        EXPECT_EQ(vrc_uri_io_file_tell(h.get()), 3 + c.count);
        EXPECT_EQ(h->buf_cur, h->buffer);  // nothing pending
        ASSERT_EQ(vrc_uri_io_file_w8(h.get(), 'z'), 0);
        h.reset();
        Bytes expected = {'a', 'b', 'c'};
        expected.insert(expected.end(), static_cast<size_t>(c.count), 0xAB);
        expected.push_back('z');
        EXPECT_EQ(read_file(path), expected);
    }
}

// A short write sticks: nothing more reaches the file, every flush, filling
// write, move and fill reports it.
void expect_failed_for_good(vrc_uri_io_file_t *h)
{
    EXPECT_EQ(h->error, -1000);
    EXPECT_EQ(vrc_uri_io_file_flush(h), -1000);
    EXPECT_EQ(write_bytes(h, pattern(0, 100)), 0);
    EXPECT_EQ(write_bytes(h, pattern(0, kBuf)), -1000);
    EXPECT_EQ(write_bytes(h, pattern(0, 2 * kBuf)), -1000);
    int rc = 0;
    for (int i = 0; i < kBuf && rc == 0; ++i) rc = vrc_uri_io_file_w8(h, i);
    EXPECT_EQ(rc, -1000);
    EXPECT_EQ(vrc_uri_io_file_seek(h, 12345, SEEK_SET), -1);
    EXPECT_EQ(vrc_uri_io_file_append_bytes(h, 0, 10), -1);
    EXPECT_EQ(h->error, -1000);
}

TEST(UriIo, ShortWritesStickAndAreNeverReportedAsSuccess)
{
    const struct { const char *name; std::function<int(vrc_uri_io_file_t *)> act; size_t on_disk; } cases[] = {
        {"flush", [](vrc_uri_io_file_t *h) { write_bytes(h, pattern(0, 10)); return vrc_uri_io_file_flush(h); }, 9},
        {"filled buffer", [](vrc_uri_io_file_t *h) { return write_bytes(h, pattern(0, kBuf)); }, kBuf - 1},
        {"append", [](vrc_uri_io_file_t *h) { return vrc_uri_io_file_append_bytes(h, 0, 10000); }, kBuf - 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = temp_path("short.bin");
        Handle h = open_io(path, VRC_URI_IO_FLAG_WRITE);
        watch(h.get());
        spy.short_from = 0;
        EXPECT_LT(c.act(h.get()), 0);
        ASSERT_EQ(spy.writes.size(), 1u);
        expect_failed_for_good(h.get());
        EXPECT_EQ(spy.writes.size(), 1u);
        h.reset();
        EXPECT_EQ(read_file(path).size(), c.on_disk);
    }
}

TEST(UriIo, FullDiskShowsAtTheFailingWrite)
{
#if defined(_WIN32)
    GTEST_SKIP() << "no /dev/full on Windows";
#else
    for (bool by_append : {false, true}) {
        Handle h = open_io("/dev/full", VRC_URI_IO_FLAG_WRITE);
        ASSERT_TRUE(h);
        EXPECT_EQ(write_bytes(h.get(), pattern(0, 100)), 0);
        if (by_append)
            EXPECT_EQ(vrc_uri_io_file_append_bytes(h.get(), 0, 100), -1);
        else
            EXPECT_EQ(vrc_uri_io_file_flush(h.get()), -1000);
        EXPECT_EQ(vrc_uri_io_file_tell(h.get()), 0);
        expect_failed_for_good(h.get());
        EXPECT_EQ(vrc_uri_io_file_free(h.release()), 0);
    }
#endif
}
