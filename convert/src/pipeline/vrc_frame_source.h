// Where the conversion's frames come from: a legacy recording or an MP4 file
// read as one stream of frames with calendar times. The conversion's one
// muxing path takes frames from these, whatever the input.
#ifndef VRC_FRAME_SOURCE_H
#define VRC_FRAME_SOURCE_H

#include <cstdint>
#include <memory>

#include "vrc_convert.h"
#include "vrc_media.h"
#include "vrc_mp4_sample.h"
#include "vrc_platform.h"

namespace vrc {

class UriIoBatch;

// The largest frame an MP4 frame record can describe: cameras write 1080p
// key frames of several hundred kilobytes, far above the legacy 256 KiB.
constexpr uint32_t kPayloadCapacity = 16777215;

// Records why the conversion failed in result and returns code. Allocates
// nothing that can throw: it runs on the failure paths, out of memory
// included.
int fail_result(vrc_convert_result_t *result, int code, const char *format, ...) VRC_PRINTF_FORMAT(3, 4);

// The host's progress callback over all inputs of a job: each source tells
// how far into its own bytes it has read.
class Progress {
public:
    Progress(const vrc_convert_options_t &options, uint64_t total) : options_(options), total_(total) {}
    // done bytes into the input that starts base bytes into the job; false
    // when the host cancels. Reports about every MiB, and always when forced.
    bool report(uint64_t base, uint64_t done, bool forced = false);

private:
    vrc_convert_options_t options_;
    uint64_t total_;
    uint64_t next_ = 0;
};

// One frame on its way from an input to the muxer: the packet (payload,
// size, track, key flag, and its stamp in milliseconds, which the steps
// between judge it by) and its sample's times in its track's own units.
struct Frame {
    vrc_media_packet_t packet{};
    MovSampleTime time{};
    // The times are the input's own (an MP4 file's sample tables) and stand
    // as they are; otherwise the stamps of a recording, which the muxer puts
    // in line.
    bool exact = false;
};

enum class SourceStep { frame, end, failed };

class FrameSource {
public:
    virtual ~FrameSource() = default;
    // The video and audio tracks as the muxer is to declare them.
    virtual void describe(vrc_track_info_t tracks[2]) const = 0;
    // The next frame, its payload in payload (kPayloadCapacity bytes) or in
    // the input's blocks, valid until the next call. Frames that cannot be
    // written are counted in the result and passed over. failed: the
    // result's message says why.
    virtual SourceStep read(Frame *frame, uint8_t *payload) = 0;
    // Media time (track units) that the input's presentation of a track
    // skips at its start: the samples before it only lead the decoder up to
    // its first picture (B-frames) or were cut off by an edit. 0: none.
    virtual int64_t skip(uint32_t /*slot*/) const { return 0; }
    // The sound's codec configuration as the input declares it (an AAC
    // stream's AudioSpecificConfig), copied into out; its size, 0 for none
    // or one longer than capacity.
    virtual uint32_t audio_config(uint8_t * /*out*/, uint32_t /*capacity*/) const { return 0; }
    // Moves reading to the last video key frame at or before time (the
    // start when none is) from frame headers alone; false when no frame
    // lies at or after time.
    virtual bool seek(int64_t time_ms, uint8_t *payload) = 0;
    // After the end (whole) or a stop: 0 when the input was read as it
    // should be, else the failure.
    virtual int finish(bool whole) = 0;
    // Frames may point into large blocks of the input; lent (the writes
    // that borrow them) is flushed before the blocks are refilled.
    virtual void lend(UriIoBatch *lent) = 0;
    // Calendar time of a frame this source delivered, ms since 1970 UTC.
    virtual int64_t time_of(const vrc_media_packet_t &packet) const = 0;
    // How far those times may lie from the truth, in ms: an MP4 file's
    // creation time counts whole seconds. 0: exact to the millisecond.
    virtual int64_t calendar_precision_ms() const { return 0; }
    // Calendar time of the first and the last frame; the last from the
    // frame headers, read to the end when not known yet.
    virtual int64_t first_ms() const = 0;
    // Calendar time of the first frame of a track (0 video, 1 audio).
    virtual int64_t first_ms_of(uint32_t /*slot*/) const { return first_ms(); }
    virtual int64_t last_ms(uint8_t *payload) = 0;
    // Counts a frame the muxer refused.
    virtual void dropped(const vrc_media_packet_t &packet) = 0;
    // What to add to a successful job's message (a recording that grew
    // while it was read); empty for none.
    virtual void note(char *message, size_t size) const = 0;

    const FileIdentity &identity() const { return identity_; }
    uint64_t base = 0;  // bytes of the job's inputs before this one, for progress

protected:
    FileIdentity identity_{};
};

// Opens path as an MP4 file when the probe takes it for one, else as a
// legacy recording; null with the failure's code in *rc and its message in
// result. payload: kPayloadCapacity bytes for the frames read to open it.
std::unique_ptr<FrameSource> open_frame_source(const char *path, uint8_t *payload, Progress *progress,
                                               vrc_convert_result_t *result, int *rc);
std::unique_ptr<FrameSource> open_legacy_source(const char *path, uint8_t *payload, Progress *progress,
                                                vrc_convert_result_t *result, int *rc);
std::unique_ptr<FrameSource> open_mp4_source(const char *path, uint8_t *payload, Progress *progress,
                                             vrc_convert_result_t *result, int *rc);
// An ordinary MP4 file without moov, its samples told apart by what the
// whole MP4 file at reference (the same camera's) says of its streams.
std::unique_ptr<FrameSource> open_salvage_source(const char *path, const char *reference, Progress *progress,
                                                 vrc_convert_result_t *result, int *rc);

}  // namespace vrc

#endif
