// The files extract and pack write: refused when they would overwrite an
// input or each other, and put under their names only when complete, as the
// library puts its conversions' outputs (the same module, compiled in).
#ifndef VRC_TOOLS_OUTPUT_FILE_H
#define VRC_TOOLS_OUTPUT_FILE_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vrc {
class StagedFile;
}

namespace vrc_tool {

// Why output must not be written: under this or another name (links
// followed) it is one of the inputs or one of the outputs named before it.
// Empty when it may be. Devices (/dev/null) are never in the way.
std::string output_clash(const std::string &output, const std::vector<std::string> &inputs,
                         const std::vector<std::string> &earlier_outputs);

// A stream whose file takes its name only when put in place; until then,
// and for good when it is dropped, it lies under a temporary name beside it.
class OutputFile {
public:
    OutputFile();
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // False with the reason when the file cannot be made.
    bool open(const std::string &path, std::string *reason);
    std::FILE *stream() const { return stream_; }
    // Writes out and closes the stream: false with the reason when a byte
    // could not be stored.
    bool close(std::string *reason);
    // Gives the closed file its name, replacing a file there.
    bool put_in_place(std::string *reason);

private:
    std::string path_;
    std::unique_ptr<vrc::StagedFile> staged_;
    std::FILE *stream_ = nullptr;
    std::vector<char> buffer_;  // the stream's: the C library takes only the mode from a size without one
};

// Writes bytes to a file that takes the name path only when complete. False
// with the reason when it cannot.
bool write_whole_file(const std::string &path, const std::vector<uint8_t> &bytes, std::string *reason);

}  // namespace vrc_tool

#endif
