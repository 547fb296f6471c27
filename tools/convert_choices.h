// The convert subcommand's choices beyond whole files: a calendar time range
// (--from, --to, --for), segments (--segment, --name, --zone) and a join of
// several recordings into one output (--join).
#ifndef VRC_TOOLS_CONVERT_CHOICES_H
#define VRC_TOOLS_CONVERT_CHOICES_H

#include <cstdint>
#include <string>

#include "vrc_convert.h"

namespace vrc_tool {

struct TimeChoices {
    std::string from, to, span, segment, name, zone;  // as given
    bool join = false;
    int64_t from_ms = VRC_CONVERT_NO_TIME;
    int64_t to_ms = VRC_CONVERT_NO_TIME;
    uint32_t segment_seconds = 0;
    int32_t zone_minutes = 0;

    bool ranged() const { return from_ms != VRC_CONVERT_NO_TIME || to_ms != VRC_CONVERT_NO_TIME; }
    bool any() const { return join || ranged() || segment_seconds != 0; }
};

// Where the value of a time option goes; null for any other argument.
std::string *time_option(TimeChoices *choices, const char *arg);
// Reads the values given; empty when they agree, else the usage error.
std::string settle_choices(TimeChoices *choices);
// The name pattern of a segmented output planned as output: --name in
// output's directory, or output's own name with the start time added.
std::string segment_pattern(const TimeChoices &choices, const std::string &output);
// The job record of these choices, with options, from inputs to output.
vrc_convert_job_t job_record(const TimeChoices &choices, const char *const *inputs, uint32_t count,
                             const char *output, const vrc_convert_options_t &options);

}  // namespace vrc_tool

#endif
