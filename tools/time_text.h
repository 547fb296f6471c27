// Times and durations as the command's options write them.
#ifndef VRC_TOOLS_TIME_TEXT_H
#define VRC_TOOLS_TIME_TEXT_H

#include <cstdint>

namespace vrc_tool {

// "+HH:MM" or "-HH:MM" east of UTC in seconds; "", "Z" and "UTC" are 0.
bool parse_zone(const char *text, int64_t *east);
// "YYYY-MM-DD HH:MM:SS" (or with a T between date and time), then optionally
// milliseconds (".960", as the command prints times) and a zone, as
// milliseconds since 1970 UTC. Dates that do not exist (the 30th of
// February, 24:00:00) are refused.
bool parse_calendar_time(const char *text, int64_t *utc_ms);
// A whole number of seconds ("90s" or "90"), minutes ("10m") or hours
// ("1h"), above 0 and within 49 days; in seconds.
bool parse_duration(const char *text, uint32_t *seconds);

}  // namespace vrc_tool

#endif
