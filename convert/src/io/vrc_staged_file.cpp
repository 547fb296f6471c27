#include "vrc_staged_file.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace vrc {

namespace {

// A temporary name keeps at least this much of the output's name, so that a
// file left by a killed writer tells whose it was.
constexpr size_t kMinTempStem = 8;

std::atomic<uint32_t> g_temp_counter{0};

// The directory part of path, with its separator (a drive's colon counts as
// one on Windows; elsewhere it only keeps a temporary name in the same
// directory too).
std::string directory_of(const std::string &path)
{
    const size_t slash = path.find_last_of("/\\:");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A dot (so shell patterns pass it over), the output's name, the process and
// a count. The name is cut so that the whole is no longer than the output's
// name (unless that is very short): what the platform allows for the
// output's path and name, it allows for the temporary one.
std::string temp_name(const std::string &output)
{
    const std::string directory = directory_of(output);
    const std::string name = output.substr(directory.size());
    char unique[48];
    std::snprintf(unique, sizeof unique, ".%lx-%lx.part", static_cast<unsigned long>(process_id()),
                  static_cast<unsigned long>(g_temp_counter.fetch_add(1)));
    const size_t added = 1 + std::strlen(unique);
    const size_t keep = name.size() > added + kMinTempStem ? name.size() - added : kMinTempStem;
    return directory + "." + name.substr(0, keep) + unique;
}

}  // namespace

StagedFile::~StagedFile()
{
    if (!temp_.empty()) file_remove(temp_.c_str());
}

FileOutcome StagedFile::create()
{
    FileIdentity existing;
    if (file_identity(output_.c_str(), &existing) && !existing.regular) return FileOutcome::done;
    for (;;) {
        std::string temp = temp_name(output_);
        const FileOutcome created = file_create_new(temp.c_str());
        if (created == FileOutcome::exists) continue;
        if (created == FileOutcome::done) temp_ = std::move(temp);
        return created;
    }
}

FileOutcome StagedFile::put_in_place(bool replace)
{
    if (temp_.empty()) return FileOutcome::done;
    const FileOutcome moved = file_rename(temp_.c_str(), output_.c_str(), replace);
    if (moved == FileOutcome::done) temp_.clear();
    return moved;
}

}  // namespace vrc
