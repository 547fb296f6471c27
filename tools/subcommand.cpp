#include "subcommand.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "system_text.h"
#include "vrc_platform.h"
#include "vrc_text.h"

namespace vrc_tool {

void print(std::FILE *stream, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    write_text(stream, vrc::vformat(format, args));
    va_end(args);
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
        !(vrc::file_identity(name.c_str(), &existing) && existing.kind == vrc::FileKind::directory)) {
        *reason = "not a directory";
        return false;
    }
    return true;
}

int usage_error(const char *name, const std::string &message)
{
    print(stderr, "recfile-convert %s: %s (see recfile-convert %s --help)\n", name, message.c_str(), name);
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

bool write_whole_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::FILE *out = vrc::file_open(path.c_str(), "wb");
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
