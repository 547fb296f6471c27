#include "vrc_output_names.h"

#include <cstdio>

#include "vrc_date_time.h"
#include "vrc_frame_source.h"

namespace vrc {
namespace {

// The text of one date field of t, or null for a letter that names none.
bool date_field(char letter, vrc_date_time_t t, char (&text)[8])
{
    const struct {
        char letter;
        unsigned value;
        const char *format;
    } fields[] = {
        {'Y', unsigned(VRC_DT_YEAR(t) + 1970u), "%04u"}, {'m', unsigned(VRC_DT_MON(t)), "%02u"},
        {'d', unsigned(VRC_DT_MDAY(t)), "%02u"},         {'H', unsigned(VRC_DT_HOUR(t)), "%02u"},
        {'M', unsigned(VRC_DT_MIN(t)), "%02u"},          {'S', unsigned(VRC_DT_SEC(t)), "%02u"},
    };
    for (const auto &field : fields) {
        if (field.letter != letter) continue;
        std::snprintf(text, sizeof text, field.format, field.value);
        return true;
    }
    return false;
}

}  // namespace

const char *OutputNames::next(int64_t start_ms, int *rc, vrc_convert_result_t *result)
{
    *rc = 0;
    if (!segmented_) return pattern_;
    const int64_t local = (start_ms - (start_ms % 1000 + 1000) % 1000) / 1000 + int64_t{offset_minutes_} * 60;
    const vrc_date_time_t t = vrc_gmtime_to_date_time(local, 0, 0, 0);
    name_.clear();
    for (const char *p = pattern_; *p; ++p) {
        char text[8];
        if (p[0] == '%' && p[1] == '%') {
            name_ += *++p;
        } else if (p[0] == '%' && date_field(p[1], t, text)) {
            name_ += text;
            ++p;
        } else {
            name_ += *p;
        }
    }
    if (!taken_.insert(name_).second) {
        *rc = fail_result(result, VRC_CONVERT_ERR_OUTPUT,
                          "two segments would both be named %s: the name pattern needs finer date fields",
                          name_.c_str());
        return nullptr;
    }
    return name_.c_str();
}

}  // namespace vrc
