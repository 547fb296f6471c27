#include "convert_choices.h"

#include <cstring>

#include "subcommand.h"
#include "time_text.h"

namespace vrc_tool {

std::string *time_option(TimeChoices *choices, const char *arg)
{
    const struct {
        const char *name;
        std::string *value;
    } options[] = {
        {"--from", &choices->from},       {"--to", &choices->to},     {"--for", &choices->span},
        {"--segment", &choices->segment}, {"--name", &choices->name}, {"--zone", &choices->zone},
    };
    for (const auto &option : options)
        if (std::strcmp(arg, option.name) == 0) return option.value;
    return nullptr;
}

namespace {

bool calendar_ms(const std::string &text, int64_t *ms)
{
    return text.empty() || parse_calendar_time(text.c_str(), ms);
}

const char *const kTimeSyntax =
    " needs a time such as \"2024-01-01 08:30:00\" or \"2024-01-01 08:30:00.960 +08:00\"";
const char *const kDurationSyntax = " needs a duration such as 90s, 10m or 1h";

}  // namespace

std::string settle_choices(TimeChoices *choices)
{
    if (!calendar_ms(choices->from, &choices->from_ms))
        return refusal("--from" + std::string(kTimeSyntax), choices->from);
    if (!calendar_ms(choices->to, &choices->to_ms)) return refusal("--to" + std::string(kTimeSyntax), choices->to);
    uint32_t seconds = 0;
    if (!choices->span.empty()) {
        if (choices->from.empty() || !choices->to.empty()) return "--for goes with --from, instead of --to";
        if (!parse_duration(choices->span.c_str(), &seconds))
            return refusal("--for" + std::string(kDurationSyntax), choices->span);
        choices->to_ms = choices->from_ms + int64_t{seconds} * 1000;
    }
    if (choices->ranged() && choices->from_ms != VRC_CONVERT_NO_TIME && choices->to_ms != VRC_CONVERT_NO_TIME &&
        choices->to_ms <= choices->from_ms)
        return "--to must come after --from";
    if (!choices->segment.empty() && !parse_duration(choices->segment.c_str(), &choices->segment_seconds))
        return refusal("--segment" + std::string(kDurationSyntax), choices->segment);
    int64_t east = 0;
    if (!choices->zone.empty() && (choices->zone[0] == ' ' || !parse_zone(choices->zone.c_str(), &east)))
        return refusal("--zone needs an offset such as +08:00 or -05:00", choices->zone);
    choices->zone_minutes = static_cast<int32_t>(east / 60);
    if ((!choices->name.empty() || !choices->zone.empty()) && choices->segment_seconds == 0)
        return "--name and --zone name the outputs of --segment";
    return std::string();
}

std::string segment_pattern(const TimeChoices &choices, const std::string &output)
{
    const std::filesystem::path planned = path_of(output);
    if (!choices.name.empty()) return name_of(planned.parent_path() / path_of(choices.name));
    std::filesystem::path pattern = planned;
    pattern.replace_extension();
    return name_of(pattern) + "-%Y%m%d-%H%M%S" + name_of(planned.extension());
}

vrc_convert_job_t job_record(const TimeChoices &choices, const char *const *inputs, uint32_t count,
                             const char *output, const vrc_convert_options_t &options)
{
    vrc_convert_job_t job{};
    job.size = sizeof job;
    job.inputs = inputs;
    job.input_count = count;
    job.output = output;
    job.options = options;
    job.from_ms = choices.from_ms;
    job.to_ms = choices.to_ms;
    job.segment_seconds = choices.segment_seconds;
    job.name_utc_offset_minutes = choices.zone_minutes;
    return job;
}

}  // namespace vrc_tool
