// Files that appear under their names only when complete: each is written
// under a temporary name beside its final one and renamed over it at the end,
// so that a failed, cancelled or killed writer never leaves a partial file
// under the final name. The conversion writes its MP4 files this way, and the
// command-line tool (which compiles this module in) every file it writes.
#ifndef VRC_STAGED_FILE_H
#define VRC_STAGED_FILE_H

#include <string>
#include <utility>

#include "vrc_platform.h"

namespace vrc {

// Whether two identities are those of one file.
inline bool same_file(const FileIdentity &a, const FileIdentity &b)
{
    return a.volume == b.volume && a.number == b.number;
}

class StagedFile {
public:
    explicit StagedFile(std::string output) : output_(std::move(output)) {}
    // Removes the temporary file unless it was put in place.
    ~StagedFile();
    StagedFile(const StagedFile &) = delete;
    StagedFile &operator=(const StagedFile &) = delete;

    // Makes the file to write: a new empty one beside the output, named so
    // that no other writer, here or on another machine sharing the
    // directory, can be using it. An existing output that is no regular file
    // (a device such as /dev/null, a pipe, a directory) is written straight
    // into instead: no partial write can spoil it, and a rename would
    // replace the device itself. done, or failed (file_error_text says why).
    FileOutcome create();
    // Whether create wrote nothing beside the output: it is written straight.
    bool straight() const { return temp_.empty(); }
    // The name to write to.
    const std::string &path() const { return temp_.empty() ? output_ : temp_; }
    // Brings the written bytes to the disk; true when there is nothing to do.
    bool sync_data() const { return temp_.empty() || file_sync_data(temp_.c_str()); }
    // After put_in_place: brings the output's name to the disk.
    bool sync_name() const { return file_sync_name(output_.c_str()); }
    // Gives the complete, closed file the output's name, replacing a file
    // there when replace is set; otherwise exists when the name is taken.
    FileOutcome put_in_place(bool replace);

private:
    std::string output_;
    std::string temp_;  // empty while writing straight into the output, and once put in place
};

}  // namespace vrc

#endif
