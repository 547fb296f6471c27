#include "subcommand.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace vrc_tool {

namespace {

std::atomic<int> g_stop_signal{0};
static_assert(ATOMIC_INT_LOCK_FREE == 2, "a signal handler may store only to a lock-free atomic");

}  // namespace

int stop_signal()
{
    return g_stop_signal.load();
}

void request_stop(int signal)
{
    int none = 0;
    g_stop_signal.compare_exchange_strong(none, signal);
}

extern "C" void stop_on_signal(int signal)
{
    request_stop(signal);
    std::signal(signal, SIG_DFL);
}

int usage_error(const char *name, const std::string &message)
{
    std::fprintf(stderr, "recfile-convert %s: %s (see recfile-convert %s --help)\n", name, message.c_str(), name);
    return kExitUsage;
}

bool parse_u32(const char *text, uint32_t *value)
{
    if (!text || *text < '0' || *text > '9') return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed > UINT32_MAX) return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

// Through stdio rather than iostreams: a directory or a read error is a
// failure with errno set, never an exception.
bool read_whole_file(const std::string &path, std::vector<uint8_t> *bytes)
{
    std::FILE *in = std::fopen(path.c_str(), "rb");
    if (!in) return false;
    bytes->clear();
    uint8_t chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) bytes->insert(bytes->end(), chunk, chunk + n);
    const bool ok = !std::ferror(in);
    const int error = errno;
    std::fclose(in);
    errno = error;
    return ok;
}

bool write_whole_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::FILE *out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    const int error = errno;
    const bool closed = std::fclose(out) == 0;
    if (!written) errno = error;
    return written && closed;
}

std::string json_quote(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace vrc_tool
