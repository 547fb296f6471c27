// Shared by the fuzz targets: each parses arbitrary bytes through the
// library's public interface and must neither crash nor read or write out of
// bounds, whatever the input.
#ifndef VRC_FUZZ_TARGET_H
#define VRC_FUZZ_TARGET_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

namespace vrc_fuzz {

// A scratch file of this process for inputs the library reads by path.
inline std::string scratch_path(const char *name)
{
    static const std::string prefix =
        (std::filesystem::temp_directory_path() / ("vrc_fuzz_" + std::to_string(std::random_device{}()) + "_"))
            .string();
    return prefix + name;
}

inline bool write_scratch(const std::string &path, const uint8_t *data, size_t size)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}  // namespace vrc_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#endif
