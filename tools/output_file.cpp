#include "output_file.h"

#include <filesystem>
#include <system_error>

#include "subcommand.h"
#include "vrc_platform.h"
#include "vrc_staged_file.h"

namespace vrc_tool {

namespace {

namespace fs = std::filesystem;

constexpr size_t kStreamBufferSize = 1 << 20;

// Two names of one regular file (links followed), or one spelling of a file
// that does not exist yet.
bool one_file(const std::string &a, const std::string &b)
{
    vrc::FileIdentity x, y;
    const bool a_exists = vrc::file_identity(a.c_str(), &x);
    const bool b_exists = vrc::file_identity(b.c_str(), &y);
    if (a_exists && b_exists) return x.regular && vrc::same_file(x, y);
    if (a_exists || b_exists) return false;
    std::error_code ec;
    return fs::absolute(path_of(a), ec).lexically_normal() == fs::absolute(path_of(b), ec).lexically_normal();
}

std::string failure(const std::string &what, const std::string &path)
{
    return what + " " + path + ": " + vrc::file_error_text();
}

}  // namespace

std::string output_clash(const std::string &output, const std::vector<std::string> &inputs,
                         const std::vector<std::string> &earlier_outputs)
{
    for (const std::string &input : inputs)
        if (one_file(output, input)) return "the output " + output + " is the input " + input + " itself";
    for (const std::string &earlier : earlier_outputs)
        if (one_file(output, earlier)) return "the outputs " + earlier + " and " + output + " are one file";
    return std::string();
}

OutputFile::OutputFile() = default;

// The stream is closed before the staged file removes what it wrote.
OutputFile::~OutputFile()
{
    if (stream_) std::fclose(stream_);
}

bool OutputFile::open(const std::string &path, std::string *reason)
{
    path_ = path;
    staged_.reset(new vrc::StagedFile(path));
    if (staged_->create() != vrc::FileOutcome::done) {
        *reason = failure("cannot create a file beside", path);
        return false;
    }
    stream_ = vrc::file_open(staged_->path().c_str(), "wb");
    if (!stream_) {
        *reason = failure("cannot write", path);
        return false;
    }
    buffer_.resize(kStreamBufferSize);
    std::setvbuf(stream_, buffer_.data(), _IOFBF, buffer_.size());
    return true;
}

bool OutputFile::close(std::string *reason)
{
    if (!stream_) return true;
    const bool written = !std::ferror(stream_);
    const bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    if (written && closed) return true;
    *reason = failure("cannot write", path_);
    return false;
}

bool OutputFile::put_in_place(std::string *reason)
{
    if (!staged_) return true;
    // Whole on the disk before it takes its name, as the conversion's outputs.
    if (!staged_->sync_data()) {
        *reason = failure("cannot write", path_);
        return false;
    }
    if (staged_->put_in_place(true) != vrc::FileOutcome::done) {
        *reason = failure("cannot put", path_ + " in place");
        return false;
    }
    if (staged_->sync_name()) return true;
    *reason = failure("cannot store the name of", path_ + " on the disk");
    return false;
}

bool write_whole_file(const std::string &path, const std::vector<uint8_t> &bytes, std::string *reason)
{
    OutputFile out;
    if (!out.open(path, reason)) return false;
    std::fwrite(bytes.data(), 1, bytes.size(), out.stream());
    return out.close(reason) && out.put_in_place(reason);
}

}  // namespace vrc_tool
