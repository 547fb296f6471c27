// The names of a job's outputs: its one output, or one per segment from a
// pattern whose date fields take the segment's start time.
#ifndef VRC_OUTPUT_NAMES_H
#define VRC_OUTPUT_NAMES_H

#include <cstdint>
#include <set>
#include <string>

#include "vrc_convert.h"

namespace vrc {

class OutputNames {
public:
    // pattern: the output, or with segmented the pattern (%Y %m %d %H %M
    // %S, %% for a percent sign) read in the zone offset minutes east of UTC.
    OutputNames(const char *pattern, bool segmented, int32_t offset_minutes)
        : pattern_(pattern), segmented_(segmented), offset_minutes_(offset_minutes)
    {
    }
    // The name of the output starting at start_ms (ms since 1970 UTC); null
    // with *rc set when a segment would take the name of an earlier one.
    const char *next(int64_t start_ms, int *rc, vrc_convert_result_t *result);

private:
    const char *pattern_;
    bool segmented_;
    int32_t offset_minutes_;
    std::string name_;
    std::set<std::string> taken_;  // the names of the outputs before
};

}  // namespace vrc

#endif
