// What a legacy recording holds, read from its frame headers: payloads are
// stepped over, except where a frame's size needs checking against damage
// (there the library's reader decides, as it does for the conversion) and
// the first key frame, whose SPS gives the picture size and profile.
#ifndef VRC_TOOLS_LEGACY_SCAN_H
#define VRC_TOOLS_LEGACY_SCAN_H

#include <cstdint>
#include <string>

namespace vrc_tool {

struct LegacyTrackScan {
    uint32_t frames = 0;
    uint32_t steps_back = 0;  // stamps earlier than the one before: the conversion repairs them
    uint32_t pauses = 0;      // steps forward of more than a second
    uint32_t last_stamp = 0;
};

struct LegacyScan {
    uint32_t frames = 0;      // both tracks
    int64_t first_ms = 0;     // calendar time of the first and the last frame, ms since 1970 UTC
    int64_t last_ms = 0;
    LegacyTrackScan video, audio;
    uint32_t key_frames = 0;
    uint32_t longest_key_gap_ms = 0;  // between key frames, by their stamps
    uint32_t width = 0, height = 0;   // 0: no SPS found
    std::string profile;              // H.264 profile of the SPS; empty: none found
    uint64_t bytes_skipped = 0;       // foreign data, damaged headers, unreadable frames
};

// Scans path; false (with the reason) when it cannot be read. A file with
// no frame scans as true with frames 0.
bool scan_legacy_recording(const std::string &path, LegacyScan *scan, std::string *reason);

}  // namespace vrc_tool

#endif
