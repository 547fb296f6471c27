#include "vrc_uri_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vrc_debug.h"
#include "vrc_mem.h"
#include "vrc_output.h"
#include "vrc_platform.h"
#include "vrc_uri_io_block.h"

extern "C" VRC_API const int VRC_URI_IO_FILE_BUFSIZE = 4096;
extern "C" VRC_API const int VRC_URI_IO_FILE_READSIZE_ONCE = 4096;

namespace {

constexpr int kBufferSize = 4096;
constexpr int kReadSizeOnce = 4096;
constexpr int kShortWriteError = -1000;

thread_local int t_path_encoding = VRC_PATH_ENCODING_ANSI;

// ---- the file protocol: stdio streams -------------------------------------

int stdio_open(void **handle, const char *uri, int flags)
{
    if (!handle) return -1;
    const char *mode = flags == 0                             ? "rb"
                       : (flags & VRC_URI_IO_FLAG_APPEND)     ? "ab"
                       : (flags & vrc::URI_IO_FLAG_CREATED)   ? "r+b"
                       : (flags & vrc::URI_IO_FLAG_READ_BACK) ? "w+b"
                                                              : "wb";
    std::FILE *f = vrc::file_open(uri, mode);
    if (!f) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "open %s failed: %s\n", uri,
                    std::strerror(errno));
        return -1;
    }
    // The layer does its own buffering. A second buffer inside the stream
    // would hide a failed write (a full disk) until fclose, where nobody
    // looks; unbuffered, the failure shows at the write that caused it.
    std::setvbuf(f, nullptr, _IONBF, 0);
    vrc::out_puts("open is succeed");
    *handle = f;
    return 0;
}

int stdio_flush(void *handle)
{
    if (!handle) return -1;
    std::fflush(static_cast<std::FILE *>(handle));
    return 0;
}

int stdio_close(void *handle)
{
    if (!handle) return 0;
    stdio_flush(handle);
    return std::fclose(static_cast<std::FILE *>(handle));
}

// -1 when nothing came because the file failed (a bad disk, a lost share),
// which must not pass for its end.
int stdio_read_packet(void *handle, uint8_t *dst, int size)
{
    if (!handle) return -1;
    auto *f = static_cast<std::FILE *>(handle);
    const size_t n = std::fread(dst, 1, static_cast<size_t>(size), f);
    return n == 0 && std::ferror(f) ? -1 : static_cast<int>(n);
}

int stdio_write_packet(void *handle, const uint8_t *src, int size)
{
    if (!handle) return -1;
    return static_cast<int>(std::fwrite(src, 1, static_cast<size_t>(size), static_cast<std::FILE *>(handle)));
}

int64_t stdio_seek(void *handle, int64_t offset, int whence)
{
    if (!handle) return -1;
    auto *f = static_cast<std::FILE *>(handle);
    if (vrc::file_seek64(f, offset, whence) != 0) {
        vrc::out_printf("fseek is err");
        return -1;  // the stream did not move: never report the target as reached
    }
    // A device that takes any position (the null device) tells 0 whatever
    // was asked; a file stands where it was asked to.
    return whence == SEEK_SET ? offset : vrc::file_tell64(f);
}

// ---- the layer -----------------------------------------------------------

int get_uri_type(const char *uri)
{
    if (std::strstr(uri, "://")) {
        vrc::out_printf("uri_type is VRC_URI_TYPE_UNKNOWN");
        return VRC_URI_TYPE_UNKNOWN;
    }
    vrc::out_printf("uri_type is VRC_URI_TYPE_UNIX_FS");
    return VRC_URI_TYPE_UNIX_FS;
}

bool vrc_uri_io_file_open(vrc_uri_io_file_t *h, int flags, const char *uri)
{
    if (get_uri_type(uri) == VRC_URI_TYPE_UNKNOWN) {
        vrc::out_puts("format is faill");
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "Not support uri protocol: %s\n", uri);
        return false;
    }
    h->read_packet = stdio_read_packet;
    h->write_packet = stdio_write_packet;
    h->seek = stdio_seek;
    h->flush = stdio_flush;
    h->open = stdio_open;
    h->close = stdio_close;
    const int rc = h->open(&h->handle, uri, flags);
    if (rc < 0) {
        vrc_log_msg(VRC_LOG_ERR, __FILE__, __LINE__, "open %s failed %d\n", uri, rc);
        return false;
    }
    h->write_mode = flags;
    h->pos = 0;
    h->buffer_size = kBufferSize;
    h->buffer = static_cast<uint8_t *>(vrc_calloc(static_cast<uint32_t>(h->buffer_size), 1));
    if (!h->buffer) {
        h->close(h->handle);
        h->handle = nullptr;
        return false;
    }
    h->buf_end = h->write_mode ? h->buffer + h->buffer_size : h->buffer;
    h->buf_cur = h->buffer;
    h->buf_high = h->buffer;
    return true;
}

int unread_bytes(const vrc_uri_io_file_t *h)
{
    return static_cast<int>(h->buf_end - h->buf_cur);
}

void note_end_of_file(vrc_uri_io_file_t *h)
{
    h->at_eof = 1;
    h->end_pos = h->pos;
    h->eof_pos = static_cast<uint32_t>(h->pos);
}

// A read that brought nothing: the end of the file, or a failure, which
// sticks in error as a failed write does.
void note_nothing_read(vrc_uri_io_file_t *h, int r)
{
    if (r == 0)
        note_end_of_file(h);
    else if (h->error == 0)
        h->error = r;
}

// Called when the unread bytes are used up.
void fill_buffer(vrc_uri_io_file_t *h)
{
    if (h->write_mode || h->at_eof) return;
    if (h->buf_cur >= h->buf_end) h->buf_cur = h->buf_end = h->buffer;
    // A handle given large blocks fills all the room it has.
    const int once = h->buffer_size > kBufferSize ? h->buffer_size : kReadSizeOnce;
    int want = static_cast<int>(h->buffer + h->buffer_size - h->buf_end);
    if (want > once) want = once;
    const int r = h->read_packet(h->handle, h->buf_end, want);
    if (r > 0) {
        h->pos += r;
        h->buf_end += r;
    } else {
        note_nothing_read(h, r);
    }
}

// A large read with nothing buffered takes whole buffers straight into the
// caller's memory, as refilling and copying each would have; the rest comes
// through the buffer, so pos and tell stay as if every byte had.
int read_direct(vrc_uri_io_file_t *h, uint8_t *dst, int size)
{
    h->buf_cur = h->buf_end = h->buffer;
    int done = 0;
    while (done < size) {
        const int r = h->read_packet(h->handle, dst + done, size - done);
        if (r <= 0) {
            note_nothing_read(h, r);
            break;
        }
        h->pos += r;
        done += r;
    }
    return done;
}

int pending_bytes(const vrc_uri_io_file_t *h)
{
    const uint8_t *high = h->buf_high > h->buf_cur ? h->buf_high : h->buf_cur;
    return static_cast<int>(high - h->buffer);
}

// Hands size bytes to the protocol; a failure or short write sticks in error.
void write_through(vrc_uri_io_file_t *h, const uint8_t *src, int size)
{
    const int r = h->write_packet(h->handle, src, size);
    if (r < 0)
        h->error = r;
    else if (r != size)
        h->error = kShortWriteError;
    else
        h->pos += size;
}

int flush_buffer(vrc_uri_io_file_t *h)
{
    if (h->buf_cur > h->buf_high) h->buf_high = h->buf_cur;
    const int pending = static_cast<int>(h->buf_high - h->buffer);
    if (h->write_mode && pending > 0 && h->error == 0) write_through(h, h->buffer, pending);
    h->buf_cur = h->buf_high = h->buffer;
    if (!h->write_mode) h->buf_end = h->buffer;
    return h->error;
}

// Where the next byte is read or written, as the caller sees it.
int64_t logical_position(const vrc_uri_io_file_t *h)
{
    if (h->write_mode) return h->pos + (h->buf_cur - h->buffer);
    return h->pos - unread_bytes(h);
}

// A reading handle whose target lies in the bytes it holds moves its cursor.
bool seek_in_buffer(vrc_uri_io_file_t *h, int64_t target)
{
    if (h->write_mode) return false;
    const int64_t first_held = h->pos - (h->buf_end - h->buffer);
    if (target < first_held || target > h->pos) return false;
    h->buf_cur = h->buf_end - (h->pos - target);
    return true;
}

}  // namespace

bool vrc::utf8_paths()
{
    return t_path_encoding == VRC_PATH_ENCODING_UTF8;
}

extern "C" VRC_API int vrc_uri_io_set_path_encoding(int encoding)
{
    if (encoding != VRC_PATH_ENCODING_ANSI && encoding != VRC_PATH_ENCODING_UTF8) return -1;
    const int previous = t_path_encoding;
    t_path_encoding = encoding;
    return previous;
}

extern "C" VRC_API vrc_uri_io_file_t *vrc_uri_io_file_new(int flags, const char *uri)
{
    if (!uri) return nullptr;
    auto *h = static_cast<vrc_uri_io_file_t *>(vrc_calloc(1, sizeof(vrc_uri_io_file_t)));
    if (!h) return nullptr;
    if (!vrc_uri_io_file_open(h, flags, uri)) {
        vrc_free(h);
        return nullptr;
    }
    return h;
}

extern "C" VRC_API int vrc_uri_io_file_free(vrc_uri_io_file_t *h)
{
    if (!h) return -1;
    int rc = 0;
    if (h->handle) {
        if (h->write_mode) flush_buffer(h);
        rc = h->close(h->handle);
    }
    vrc_free(h->buffer);
    vrc_free(h);
    return rc;
}

extern "C" VRC_API int vrc_uri_io_file_read(vrc_uri_io_file_t *h, void *dst, int size)
{
    if (!h) return 0;
    if (h->write_mode) return -1;
    if (h->at_eof || !dst || size <= 0) return 0;
    auto *out = static_cast<uint8_t *>(dst);
    int done = 0;
    while (done < size) {
        const int available = unread_bytes(h);
        if (available > 0) {
            const int n = available < size - done ? available : size - done;
            std::memcpy(out + done, h->buf_cur, static_cast<size_t>(n));
            h->buf_cur += n;
            done += n;
        } else if (size - done >= h->buffer_size) {
            const int whole = (size - done) - (size - done) % h->buffer_size;
            const int got = read_direct(h, out + done, whole);
            done += got;
            if (got < whole) break;
        } else {
            fill_buffer(h);
            if (h->buf_end == h->buf_cur) break;
        }
    }
    return done;
}

extern "C" VRC_API unsigned int vrc_uri_io_file_r8(vrc_uri_io_file_t *h)
{
    if (h->buf_cur >= h->buf_end) fill_buffer(h);
    if (h->buf_cur >= h->buf_end) return 0;
    return *h->buf_cur++;
}

extern "C" VRC_API unsigned int vrc_uri_io_file_rl16(vrc_uri_io_file_t *h)
{
    const unsigned int low = vrc_uri_io_file_r8(h);
    return low | vrc_uri_io_file_r8(h) << 8;
}

extern "C" VRC_API unsigned int vrc_uri_io_file_rb16(vrc_uri_io_file_t *h)
{
    const unsigned int high = vrc_uri_io_file_r8(h) << 8;
    return high | vrc_uri_io_file_r8(h);
}

extern "C" VRC_API unsigned int vrc_uri_io_file_rl32(vrc_uri_io_file_t *h)
{
    const unsigned int low = vrc_uri_io_file_rl16(h);
    return low | vrc_uri_io_file_rl16(h) << 16;
}

extern "C" VRC_API unsigned int vrc_uri_io_file_rb32(vrc_uri_io_file_t *h)
{
    const unsigned int high = vrc_uri_io_file_rb16(h) << 16;
    return high | vrc_uri_io_file_rb16(h);
}

extern "C" VRC_API uint64_t vrc_uri_io_file_rl64(vrc_uri_io_file_t *h)
{
    const uint64_t low = vrc_uri_io_file_rl32(h);
    return low | static_cast<uint64_t>(vrc_uri_io_file_rl32(h)) << 32;
}

extern "C" VRC_API uint64_t vrc_uri_io_file_rb64(vrc_uri_io_file_t *h)
{
    const uint64_t high = static_cast<uint64_t>(vrc_uri_io_file_rb32(h)) << 32;
    return high | vrc_uri_io_file_rb32(h);
}

extern "C" VRC_API int vrc_uri_io_file_write(vrc_uri_io_file_t *h, const void *src, int size)
{
    if (!src || size <= 0) return 0;
    const auto *in = static_cast<const uint8_t *>(src);
    while (size > 0) {
        if (pending_bytes(h) == 0 && size >= h->buffer_size) {
            // Nothing is waiting in the buffer: whole buffers go straight out,
            // as filling and flushing each would have written them; the rest
            // waits in the buffer, so pos and tell stay as if buffered.
            const int direct = size - size % h->buffer_size;
            if (h->error == 0) write_through(h, in, direct);
            if (h->error != 0) return h->error;
            in += direct;
            size -= direct;
            continue;
        }
        const int room = static_cast<int>(h->buf_end - h->buf_cur);
        const int n = room < size ? room : size;
        std::memcpy(h->buf_cur, in, static_cast<size_t>(n));
        h->buf_cur += n;
        in += n;
        size -= n;
        if (h->buf_cur >= h->buf_end) {
            const int rc = flush_buffer(h);
            if (rc != 0) return rc;
        }
    }
    return 0;
}

extern "C" VRC_API int vrc_uri_io_file_w8(vrc_uri_io_file_t *h, int byte)
{
    *h->buf_cur++ = static_cast<uint8_t>(byte);
    if (h->buf_cur >= h->buf_end) return flush_buffer(h);
    return 0;
}

extern "C" VRC_API int vrc_uri_io_file_wl16(vrc_uri_io_file_t *h, unsigned int value)
{
    const int rc = vrc_uri_io_file_w8(h, static_cast<int>(value & 0xFF));
    return rc ? rc : vrc_uri_io_file_w8(h, static_cast<int>((value >> 8) & 0xFF));
}

extern "C" VRC_API int vrc_uri_io_file_wb16(vrc_uri_io_file_t *h, unsigned int value)
{
    const int rc = vrc_uri_io_file_w8(h, static_cast<int>((value >> 8) & 0xFF));
    return rc ? rc : vrc_uri_io_file_w8(h, static_cast<int>(value & 0xFF));
}

extern "C" VRC_API int vrc_uri_io_file_wl32(vrc_uri_io_file_t *h, unsigned int value)
{
    const int rc = vrc_uri_io_file_wl16(h, value & 0xFFFF);
    return rc ? rc : vrc_uri_io_file_wl16(h, value >> 16);
}

extern "C" VRC_API int vrc_uri_io_file_wb32(vrc_uri_io_file_t *h, unsigned int value)
{
    const int rc = vrc_uri_io_file_wb16(h, value >> 16);
    return rc ? rc : vrc_uri_io_file_wb16(h, value & 0xFFFF);
}

extern "C" VRC_API int vrc_uri_io_file_wl64(vrc_uri_io_file_t *h, uint64_t value)
{
    const int rc = vrc_uri_io_file_wl32(h, static_cast<unsigned int>(value));
    return rc ? rc : vrc_uri_io_file_wl32(h, static_cast<unsigned int>(value >> 32));
}

extern "C" VRC_API int vrc_uri_io_file_wb64(vrc_uri_io_file_t *h, uint64_t value)
{
    const int rc = vrc_uri_io_file_wb32(h, static_cast<unsigned int>(value >> 32));
    return rc ? rc : vrc_uri_io_file_wb32(h, static_cast<unsigned int>(value));
}

extern "C" VRC_API int vrc_uri_io_file_flush(vrc_uri_io_file_t *h)
{
    return flush_buffer(h);
}

extern "C" VRC_API int64_t vrc_uri_io_file_seek(vrc_uri_io_file_t *h, int64_t offset, int whence)
{
    if (!h) return -1;
    int64_t target;
    if (whence == SEEK_SET)
        target = offset;
    else if (whence == SEEK_CUR)
        target = logical_position(h) + offset;
    else
        target = -1;  // resolved by the protocol below
    if (target >= 0 && target < h->end_pos) h->at_eof = 0;
    if (target >= 0 && target == logical_position(h)) return target;
    if (target >= 0 && seek_in_buffer(h, target)) return target;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
    if (target < 0 && whence != SEEK_END) return -1;

    if (h->write_mode && flush_buffer(h) != 0) return -1;
    const int64_t reached = target >= 0 ? h->seek(h->handle, target, SEEK_SET)
                                        : h->seek(h->handle, offset, SEEK_END);
    if (reached < 0) return -1;
    if (!h->write_mode) h->buf_cur = h->buf_end = h->buffer;
    h->pos = reached;
    return reached;
}

extern "C" VRC_API int vrc_uri_io_file_tell(vrc_uri_io_file_t *h)
{
    if (!h) return -1;
    return static_cast<int>(static_cast<uint32_t>(h->pos));
}

extern "C" VRC_API int vrc_uri_io_file_eof(vrc_uri_io_file_t *h)
{
    if (!h) return -1;
    return h->at_eof;
}

extern "C" VRC_API int vrc_uri_io_file_append_bytes(vrc_uri_io_file_t *h, int value, int count)
{
    const int chunk = h->buffer_size;
    if (flush_buffer(h) != 0) return -1;
    std::memset(h->buffer, value & 0xFF, static_cast<size_t>(chunk));
    while (count > 0) {
        const int n = count < chunk ? count : chunk;
        write_through(h, h->buffer, n);
        if (h->error != 0) return -1;  // a short write leaves a box short: never report success
        count -= n;
    }
    return 0;
}

// ---- the large-block path --------------------------------------------------

bool vrc::uri_io_use_blocks(vrc_uri_io_file_t *h)
{
    if (h->write_mode) return false;
    if (h->buffer_size >= URI_IO_BLOCK_SIZE) return true;
    auto *block = static_cast<uint8_t *>(vrc_malloc(URI_IO_BLOCK_SIZE));
    if (!block) return false;
    const int held = unread_bytes(h);
    std::memcpy(block, h->buf_cur, static_cast<size_t>(held));
    vrc_free(h->buffer);
    h->buffer = block;
    h->buffer_size = URI_IO_BLOCK_SIZE;
    h->buf_cur = block;
    h->buf_end = block + held;
    h->buf_high = block;
    return true;
}

const uint8_t *vrc::uri_io_held(vrc_uri_io_file_t *h, uint32_t *held)
{
    *held = static_cast<uint32_t>(unread_bytes(h));
    return h->buf_cur;
}

const uint8_t *vrc::uri_io_peek(vrc_uri_io_file_t *h, uint32_t want, uint32_t *available)
{
    const uint32_t wanted = want < static_cast<uint32_t>(h->buffer_size) ? want : static_cast<uint32_t>(h->buffer_size);
    if (static_cast<uint32_t>(unread_bytes(h)) < wanted && !h->at_eof) {
        // Too little room after the unread bytes: they move to the front.
        if (static_cast<uint32_t>(h->buffer + h->buffer_size - h->buf_cur) < wanted) {
            const int held = unread_bytes(h);
            std::memmove(h->buffer, h->buf_cur, static_cast<size_t>(held));
            h->buf_cur = h->buffer;
            h->buf_end = h->buffer + held;
        }
        while (static_cast<uint32_t>(unread_bytes(h)) < wanted && !h->at_eof) {
            const uint8_t *before = h->buf_end;
            fill_buffer(h);
            if (h->buf_end == before) break;  // a failed read: nothing more comes
        }
    }
    const uint32_t held = static_cast<uint32_t>(unread_bytes(h));
    *available = held < wanted ? held : wanted;
    return h->buf_cur;
}

void vrc::uri_io_skip(vrc_uri_io_file_t *h, uint32_t n)
{
    h->buf_cur += n;
}

vrc::UriIoBatch::~UriIoBatch()
{
    vrc_free(staging_);
}

bool vrc::UriIoBatch::begin(vrc_uri_io_file_t *h)
{
    if (file_slices_staging > 0 && !staging_) {
        staging_ = static_cast<uint8_t *>(vrc_malloc(static_cast<uint32_t>(file_slices_staging)));
        if (!staging_) return false;
    }
    flush_buffer(h);
    h_ = h;
    count_ = 0;
    bytes_ = 0;
    return true;
}

void vrc::UriIoBatch::add(const uint8_t *data, uint32_t size)
{
    if (size == 0) return;
    if (count_ == kMaxSlices) flush();
    slices_[count_++] = IoSlice{data, size};
    bytes_ += size;
}

void vrc::UriIoBatch::add_be32(uint32_t value)
{
    if (count_ == kMaxSlices) flush();
    uint8_t *word = words_[count_];
    word[0] = static_cast<uint8_t>(value >> 24);
    word[1] = static_cast<uint8_t>(value >> 16);
    word[2] = static_cast<uint8_t>(value >> 8);
    word[3] = static_cast<uint8_t>(value);
    add(word, 4);
}

int vrc::UriIoBatch::flush()
{
    if (count_ > 0 && h_->error == 0) {
        auto *stream = static_cast<std::FILE *>(h_->handle);
        const uint64_t written = file_write_slices(stream, h_->pos, slices_, count_, staging_);
        if (written == bytes_)
            h_->pos += static_cast<int64_t>(bytes_);
        else
            h_->error = kShortWriteError;
    }
    count_ = 0;
    bytes_ = 0;
    return h_->error;
}

int vrc::UriIoBatch::end()
{
    flush();
    // The batch wrote past the stream: the stream moves to where it ended.
    if (h_->error == 0 && h_->seek(h_->handle, h_->pos, SEEK_SET) != h_->pos) h_->error = kShortWriteError;
    return h_->error;
}
