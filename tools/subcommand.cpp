#include "subcommand.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "system_text.h"
#include "vrc_platform.h"

namespace vrc_tool {

void print(std::FILE *stream, const char *format, ...)
{
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    write_text(stream, text);
}

std::filesystem::path path_of(const std::string &name)
{
    return std::filesystem::u8path(name);
}

std::string name_of(const std::filesystem::path &path)
{
    return path.u8string();
}

// The whole path is tried first: mostly only its last directory is missing.
bool make_directories(const std::filesystem::path &directory, std::string *reason)
{
    const std::string name = name_of(directory);
    vrc::FileOutcome made = vrc::directory_create(name.c_str());
    const std::filesystem::path parent = directory.parent_path();
    if (made == vrc::FileOutcome::failed && !parent.empty() && parent != directory) {
        if (!make_directories(parent, reason)) return false;
        made = vrc::directory_create(name.c_str());
    }
    if (made == vrc::FileOutcome::failed) {
        *reason = vrc::file_error_text();
        return false;
    }
    vrc::FileIdentity existing;
    if (made == vrc::FileOutcome::exists &&
        !(vrc::file_identity(name.c_str(), &existing) && existing.directory)) {
        *reason = "not a directory";
        return false;
    }
    return true;
}

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
    print(stderr, "recfile-convert %s: %s (see recfile-convert %s --help)\n", name, message.c_str(), name);
    return kExitUsage;
}

int take_one_file_arg(const char *name, const char *arg, OneFileArgs *args)
{
    if (std::strcmp(arg, "--json") == 0) {
        args->json = true;
    } else if (std::strcmp(arg, "--verbose") == 0 || std::strcmp(arg, "-v") == 0) {
        args->verbose = true;
    } else if (arg[0] == '-' && arg[1] != '\0') {
        return usage_error(name, std::string("unknown option ") + arg);
    } else if (args->input.empty()) {
        args->input = arg;
    } else {
        return usage_error(name, "one file at a time");
    }
    return 0;
}

std::string refusal(const std::string &reason, const std::string &value)
{
    return reason + ", not \"" + value + "\"";
}

const char *option_value(const char *name, int argc, char **argv, int *i)
{
    const char *option = argv[*i];
    if (*i + 1 >= argc) {
        usage_error(name, std::string("missing value after ") + option);
        return nullptr;
    }
    const char *value = argv[++*i];
    if (*value == '\0') usage_error(name, std::string("empty value after ") + option);
    return *value ? value : nullptr;
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
    std::FILE *in = vrc::file_open(path.c_str(), "rb");
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

namespace {

// Well-formed UTF-8 by its first byte: the length of the character and the
// range of its second byte (the bytes after it lie in 0x80..0xBF). This
// leaves out overlong forms, surrogates and values past U+10FFFF.
struct Utf8Lead {
    unsigned char first, last;
    size_t length;
    unsigned char second_low, second_high;
};
constexpr Utf8Lead kUtf8Leads[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

// Bytes of the well-formed character at text[at]; 0 when there is none.
size_t utf8_length(const std::string &text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    if (byte(at) < 0x80) return 1;
    for (const Utf8Lead &lead : kUtf8Leads) {
        if (byte(at) < lead.first || byte(at) > lead.last) continue;
        if (at + lead.length > text.size() || byte(at + 1) < lead.second_low || byte(at + 1) > lead.second_high)
            return 0;
        for (size_t i = at + 2; i < at + lead.length; ++i)
            if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
        return lead.length;
    }
    return 0;
}

bool is_utf8(const std::string &text)
{
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8_length(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

}  // namespace

std::string json_quote(const std::string &text)
{
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        const size_t length = utf8_length(text, at);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else if (length != 0) {
            out.append(text, at, length);
        } else {
            out += "\\ufffd";
        }
        at += length != 0 ? length : 1;
    }
    return out + "\"";
}

std::string json_name(const char *key, const std::string &name)
{
    std::string field = std::string("\"") + key + "\":" + json_quote(name);
    if (is_utf8(name)) return field;
    field += std::string(",\"") + key + "_hex\":\"";
    for (const char c : name) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
        field += hex;
    }
    return field + "\"";
}

std::string system_reason(int error)
{
    return std::generic_category().message(error);
}

}  // namespace vrc_tool
