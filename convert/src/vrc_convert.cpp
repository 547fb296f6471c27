#include "vrc_convert.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "vrc_media.h"
#include "vrc_mp4_muxer.h"
#include "vrc_mp4_muxer_internal.h"
#include "vrc_oldrecord_demuxer.h"
#include "vrc_oldrecord_demuxer_internal.h"
#include "vrc_output.h"
#include "vrc_platform.h"
#include "vrc_staged_file.h"
#include "vrc_uri_io.h"
#include "vrc_uri_io_block.h"

namespace {

// Longest output path taken: the longest path Windows accepts anywhere;
// the file system itself refuses what its own limits do not allow.
constexpr size_t kMaxOutputPath = 32767;
// The largest frame an MP4 frame record can describe: cameras write 1080p
// key frames of several hundred kilobytes, far above the legacy 256 KiB.
constexpr uint32_t kPayloadCapacity = 16777215;
constexpr uint64_t kProgressStep = 1u << 20;
// The legacy reader's offsets and the MP4 file's chunk offsets are 32-bit:
// a larger recording cannot be converted whole.
constexpr uint64_t kLargestInput = UINT32_MAX;
constexpr uint32_t kVideoSlot = 0;
constexpr uint32_t kAudioSlot = 1;

struct Counters {
    uint32_t video_seq = 0;
    uint32_t audio_seq = 0;
};

// One conversion's state beside the demuxer and the muxer.
struct Job {
    const char *input;
    const char *output;
    vrc_convert_options_t options;
    vrc_convert_result_t *result;
    uint64_t input_size;
    uint64_t covered;        // input bytes up to the end of the last frame delivered
    uint64_t next_progress;  // input position of the next progress report
    bool grew;               // the input grew while it was read: only its size at the start is converted
};

// Records why the conversion failed and returns code. Allocates nothing that
// can throw: it runs on the failure paths, out of memory included.
int fail(Job &job, int code, const char *format, ...)
#if defined(__MINGW32__)
    __attribute__((format(gnu_printf, 3, 4)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
// Whether byte continues a character of UTF-8 text rather than starting one.
bool continues_utf8(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// A text too long for the result's message keeps its beginning and its end,
// where the reason stands, so that a long path cannot push the reason out.
// The cuts fall between the characters of UTF-8 names.
void set_message(char (&message)[sizeof(vrc_convert_result_t::message)], const char *text, size_t length)
{
    constexpr size_t kRoom = sizeof message - 1, kHead = 80, kTail = kRoom - kHead - 3;
    if (length <= kRoom) {
        std::memcpy(message, text, length + 1);
        return;
    }
    size_t head = kHead, tail = length - kTail;
    while (head > 0 && continues_utf8(text[head])) --head;
    while (tail < length && continues_utf8(text[tail])) ++tail;
    std::memcpy(message, text, head);
    std::memcpy(message + head, "...", 3);
    std::memcpy(message + head + 3, text + tail, length - tail + 1);
}

int fail(Job &job, int code, const char *format, ...)
{
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    char *message = job.result->message;
    const int length = std::vsnprintf(message, sizeof job.result->message, format, args);
    va_end(args);
    // Longer than the message holds: formatted whole to keep its end too;
    // without memory for that, its beginning stays.
    char *text = length >= int{sizeof job.result->message} ? static_cast<char *>(std::malloc(size_t(length) + 1))
                                                           : nullptr;
    if (text) {
        std::vsnprintf(text, size_t(length) + 1, format, again);
        set_message(job.result->message, text, size_t(length));
        std::free(text);
    }
    va_end(again);
    return code;
}

void declare_tracks(vrc_track_info_t tracks[2])
{
    std::memset(tracks, 0, 2 * sizeof(vrc_track_info_t));
    tracks[0].media_type = VRC_MEDIA_VIDEO;
    tracks[0].codec_id = VRC_CODEC_H264;
    tracks[0].timescale = 1000;
    tracks[0].width = 1920;  // replaced by the stream's own picture size when its SPS parses
    tracks[0].height = 1080;
    tracks[1].media_type = VRC_MEDIA_AUDIO;
    tracks[1].codec_id = VRC_CODEC_G711U;
    tracks[1].timescale = 1000;
    tracks[1].channels = 1;
    tracks[1].sample_rate = 8000;
    tracks[1].bitwidth = 16;
}

// The legacy demuxer leaves the track and the per-track numbering to us.
void complete_packet(vrc_media_packet_t *packet, Counters *counters)
{
    if (packet->media_type == VRC_MEDIA_AUDIO) {
        packet->track_id = kAudioSlot;
        packet->codec_id = VRC_CODEC_G711U;
        packet->seq = counters->audio_seq++;
    } else {
        packet->track_id = kVideoSlot;
        packet->codec_id = VRC_CODEC_H264;
        packet->seq = counters->video_seq++;
    }
}

// Bytes between the end of the previous frame and this one's header were
// skipped; returns false when the host cancels.
bool note_frame_read(Job &job, const vrc_media_packet_t &packet)
{
    const uint64_t header = uint64_t{packet.offset} - VRC_OLDREC_HEADER_SIZE;
    if (header > job.covered) job.result->bytes_skipped += header - job.covered;
    const uint64_t end = uint64_t{packet.offset} + packet.size;
    job.covered = end < job.input_size ? end : job.input_size;
    if (!job.options.progress || job.covered < job.next_progress) return true;
    job.next_progress = job.covered + kProgressStep;
    return job.options.progress(job.options.user, job.covered, job.input_size) == 0;
}

void note_frame_dropped(Job &job, const vrc_media_packet_t &packet)
{
    job.result->frames_dropped += 1;
    job.result->bytes_skipped += VRC_OLDREC_HEADER_SIZE + uint64_t{packet.size};
}

// A frame ending past the input's size at the start was written after the
// conversion began (a recorder still writing): it and what follows are left
// for a later conversion.
bool written_since_start(const Job &job, const vrc_media_packet_t &packet)
{
    return uint64_t{packet.offset} + packet.size > job.input_size;
}

// Names the capacity of the MP4 file that the muxer found full when it
// refused a frame, so that no later frame can go in either; false when it
// refused the frame for the frame's own sake. (Its limit on all frames
// together, three times a track's, is out of reach of two tracks.)
bool limit_reached(const vrc_mp4_muxer_t &m, const vrc_media_packet_t &packet, char (&limit)[80])
{
    if (m.nr_avframes[packet.track_id] >= VRC_MUXER_MAX_TRACK_FRAMES)
        std::snprintf(limit, sizeof limit, "the %s track is full (%u frames per track)",
                      packet.track_id == kVideoSlot ? "video" : "audio", unsigned{VRC_MUXER_MAX_TRACK_FRAMES});
    else if (uint64_t{m.mdat_offset} + m.mdat_size + packet.size > vrc::MOV_MAX_FILE_OFFSET)
        std::snprintf(limit, sizeof limit, "its frames would end past 4 GiB (32-bit chunk offsets)");
    else
        return false;
    return true;
}

// Copies frames until the source ends. A frame whose payload cannot be read
// (a header of size 0, say) is passed over: the demuxer has already moved
// past its header, so the frames after it are kept; so is a frame the muxer
// cannot take (no slice, too large). A recording that does not fit one MP4
// file fails rather than losing its end. 0 or a failure code.
int copy_frames(Job &job, vrc_oldrecord_demuxer_t *demuxer, vrc_mp4_muxer_t *muxer, uint8_t *payload)
{
    Counters counters;
    vrc_media_packet_t packet;
    for (;;) {
        int rc = vrc_oldrecord_demuxer_read_view(demuxer, &packet, payload, muxer->batch);
        if (rc == VRC_ERR_FRAME_REFUSED) continue;
        if (rc < 0) {
            vrc::out_printf("read demuxer failed!, ret = %d\n", rc);
            break;
        }
        if (written_since_start(job, packet)) {
            job.grew = true;
            job.covered = job.input_size;  // the frame it cuts at that size was being written, not damaged
            break;
        }
        if (!note_frame_read(job, packet)) return fail(job, VRC_CONVERT_ERR_CANCELLED, "cancelled");
        // A picture cut by the end of the file cannot be decoded whole.
        if (demuxer->payload_cut != 0 && packet.media_type == VRC_MEDIA_VIDEO) {
            note_frame_dropped(job, packet);
            continue;
        }
        complete_packet(&packet, &counters);
        rc = vrc_mp4_muxer_write_packet(muxer, &packet);
        if (rc == 0) continue;
        vrc::out_printf("write muxer failed!, ret = %d\n", rc);
        if (rc == VRC_ERR_MUXER_IO) return fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot write %s: %s", job.output,
                                                vrc::file_error_text());
        char limit[80];
        if (limit_reached(*muxer, packet, limit))
            return fail(job, VRC_CONVERT_ERR_OUTPUT,
                        "the recording holds more than one MP4 file can: %s (at offset %u)", limit, packet.offset);
        note_frame_dropped(job, packet);
    }
    if (demuxer->pb->error != 0) return fail(job, VRC_CONVERT_ERR_INPUT, "cannot read %s", job.input);
    // A recording cut while it was read lost frames it held at the start.
    vrc::FileIdentity now;
    if (vrc::file_identity(job.input, &now) && now.size != job.input_size) {
        if (now.size < job.input_size)
            return fail(job, VRC_CONVERT_ERR_INPUT, "%s shrank from %llu to %llu bytes while it was converted",
                        job.input, static_cast<unsigned long long>(job.input_size),
                        static_cast<unsigned long long>(now.size));
        job.grew = true;
    }
    if (job.input_size > job.covered) job.result->bytes_skipped += job.input_size - job.covered;
    job.covered = job.input_size;
    if (job.options.progress && job.options.progress(job.options.user, job.input_size, job.input_size) != 0)
        return fail(job, VRC_CONVERT_ERR_CANCELLED, "cancelled");
    return 0;
}

void report_tracks(Job &job, const vrc_mp4_muxer_t &m)
{
    job.result->video_frames = m.nr_avframes[kVideoSlot];
    job.result->audio_frames = m.nr_avframes[kAudioSlot];
    job.result->video_steps_repaired = m.steps_repaired[kVideoSlot];
    job.result->audio_steps_repaired = m.steps_repaired[kAudioSlot];
}

// The frames go from the input's large blocks straight into batches of
// writes (the samples point into the blocks), so that each MiB costs about
// one read and one write. Without memory for the blocks they are copied.
int copy_frames_in_blocks(Job &job, vrc_oldrecord_demuxer_t *demuxer, vrc_mp4_muxer_t *muxer, uint8_t *payload)
{
    vrc::UriIoBatch batch;
    if (!vrc::uri_io_use_blocks(demuxer->pb) || !batch.begin(muxer->pb))
        return copy_frames(job, demuxer, muxer, payload);
    muxer->batch = &batch;
    int rc = copy_frames(job, demuxer, muxer, payload);
    muxer->batch = nullptr;
    const int written = batch.end();
    if (rc == 0 && written != 0)
        rc = fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot write %s: %s", job.output, vrc::file_error_text());
    return rc;
}

// Writes the whole MP4 file at path (the temporary name of job.output) and
// closes it. 0 or a failure code.
int write_mp4(Job &job, vrc_oldrecord_demuxer_t *demuxer, const char *path)
{
    // The file was just created empty: truncating it again would only cost.
    vrc_mp4_muxer_t *muxer = vrc_mp4_muxer_open(path, VRC_URI_IO_FLAG_WRITE | vrc::URI_IO_FLAG_CREATED);
    if (!muxer) {
        vrc::out_puts("vrc_mp4_muxer_new err");
        return fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot create %s: %s", job.output, vrc::file_error_text());
    }
    vrc_track_info_t tracks[2];
    declare_tracks(tracks);
    vrc_mp4_muxer_set_config(muxer, 0, 0);
    vrc_mp4_muxer_set_faststart(muxer, (job.options.flags & VRC_CONVERT_FASTSTART) != 0);
    vrc_mp4_muxer_add_tracks(muxer, tracks, 2);
    int rc = vrc_mp4_muxer_write_header(muxer);
    auto *payload = static_cast<uint8_t *>(std::calloc(kPayloadCapacity, 1));
    if (rc < 0) {
        vrc::out_printf("write_header failed!, ret = %d\n", rc);
        rc = fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot write the MP4 header");
    } else if (!payload) {
        rc = fail(job, -1, "out of memory");
    } else {
        demuxer->buffer_size = kPayloadCapacity;
        rc = copy_frames_in_blocks(job, demuxer, muxer, payload);
    }
    if (rc == 0 && muxer->nr_frames == 0) rc = fail(job, VRC_CONVERT_ERR_NO_FRAMES, "no frame found");
    if (rc == 0) {
        const int tail = vrc_mp4_muxer_write_tailer(muxer);
        report_tracks(job, *muxer);
        if (tail == VRC_ERR_FRAME_REFUSED) {
            rc = fail(job, VRC_CONVERT_ERR_OUTPUT, "the recording holds more than one MP4 file can: with moov in "
                                                   "front its frames would end past 4 GiB (32-bit chunk offsets)");
        } else if (tail < 0) {
            vrc::out_printf("write tailer failed!, ret = %d\n", tail);
            rc = fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot write %s: %s", job.output, vrc::file_error_text());
        }
    }
    std::free(payload);
    // Closed here rather than by the muxer's release, so that a failure to
    // close (data the system could not store after all) is seen.
    const int closed = vrc_uri_io_file_free(muxer->pb);
    muxer->pb = nullptr;
    vrc_mp4_muxer_free(muxer);
    if (rc == 0 && closed != 0) rc = fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot close %s", job.output);
    return rc;
}

int create_temp_file(Job &job, vrc::StagedFile &staged)
{
    if (staged.create() == vrc::FileOutcome::done) return 0;
    return fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot create a file beside %s: %s", job.output, vrc::file_error_text());
}

// Refuses an output that is the input under another name (a link, say) and,
// when asked, any existing output.
int check_output(Job &job, const vrc::FileIdentity &input)
{
    vrc::FileIdentity existing;
    if (!vrc::file_identity(job.output, &existing)) return 0;
    if (vrc::same_file(existing, input))
        return fail(job, VRC_CONVERT_ERR_SAME_FILE, "the output %s is the input itself", job.output);
    if (job.options.flags & VRC_CONVERT_KEEP_EXISTING)
        return fail(job, VRC_CONVERT_ERR_EXISTS, "%s exists", job.output);
    return 0;
}

// The bytes reach the disk before the file takes its name and the name
// after: a power cut then leaves the output whole or absent, never an empty
// or cut file under its name, as the system's write-back order could.
int move_into_place(Job &job, vrc::StagedFile &staged)
{
    const bool replace = (job.options.flags & VRC_CONVERT_KEEP_EXISTING) == 0;
    const bool sync = (job.options.flags & VRC_CONVERT_NO_SYNC) == 0;
    if (sync && !staged.sync_data())
        return fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot write %s: %s", job.output, vrc::file_error_text());
    const vrc::FileOutcome moved = staged.put_in_place(replace);
    if (moved == vrc::FileOutcome::exists) return fail(job, VRC_CONVERT_ERR_EXISTS, "%s exists", job.output);
    if (moved == vrc::FileOutcome::failed)
        return fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot put %s in place: %s", job.output, vrc::file_error_text());
    if (sync && !staged.sync_name())
        return fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot store the name of %s on the disk: %s", job.output,
                    vrc::file_error_text());
    vrc::FileIdentity written;
    if (vrc::file_identity(job.output, &written)) job.result->bytes_written = written.size;
    return 0;
}

int convert(Job &job)
{
    vrc_oldrecord_demuxer_t *demuxer = vrc_oldrecord_demuxer_new(job.input);
    vrc::FileIdentity input{};
    const bool identified = vrc::file_identity(job.input, &input);  // its errno tells why it is missing
    if (!demuxer || !identified) {
        const int rc = fail(job, VRC_CONVERT_ERR_INPUT, "cannot open %s: %s", job.input, vrc::file_error_text());
        if (!demuxer) vrc::out_printf("vrc_oldrecord_demuxer_new err");
        vrc_oldrecord_demuxer_free(demuxer);
        return rc;
    }
    job.input_size = input.size;
    vrc::StagedFile staged(job.output);  // its temporary file goes when the conversion fails
    int rc = check_output(job, input);
    if (rc == 0 && input.size > kLargestInput)
        rc = fail(job, VRC_CONVERT_ERR_OUTPUT,
                  "the recording holds more than one MP4 file can: it is 4 GiB or larger (%llu bytes)",
                  static_cast<unsigned long long>(input.size));
    if (rc == 0) rc = create_temp_file(job, staged);
    if (rc == 0 && job.options.progress && job.options.progress(job.options.user, 0, job.input_size) != 0)
        rc = fail(job, VRC_CONVERT_ERR_CANCELLED, "cancelled");
    if (rc == 0) rc = write_mp4(job, demuxer, staged.path().c_str());
    vrc_oldrecord_demuxer_free(demuxer);
    if (rc == 0) rc = move_into_place(job, staged);
    if (rc == 0 && job.grew)
        std::snprintf(job.result->message, sizeof job.result->message,
                      "the recording grew while it was converted: its first %llu bytes converted",
                      static_cast<unsigned long long>(job.input_size));
    return rc;
}

// Runs a job whose records are in place. The names of the temporary file
// are the conversion's only allocations that throw; the staged file removes
// what it made as the failure unwinds.
int run(Job &job)
{
    if (!job.input || !job.output) return fail(job, -1, "no input or output path");
    const vrc::OutputRedirect redirect(job.options.line, job.options.user);
    if (std::strlen(job.output) > kMaxOutputPath) {
        vrc::out_puts("ERROR : The parameter is too long");
        return fail(job, VRC_CONVERT_ERR_PATH_TOO_LONG, "the output path is too long");
    }
    if (job.options.flags & VRC_CONVERT_AUDIO_AAC)
        return fail(job, VRC_CONVERT_ERR_UNSUPPORTED, "AAC audio: this build has no AAC encoder");
    vrc::out_printf("MOV_BOX_ATOM_SIZE  size is %ld\n", 8L);
    vrc::out_printf("mov_box_mvhd_t size is %ld\n", 100L);
    try {
        return convert(job);
    } catch (const std::bad_alloc &) {
        return fail(job, -1, "out of memory");
    }
}

Job make_job(const char *input, const char *output, vrc_convert_result_t *result, vrc_convert_result_t *unused)
{
    Job job{input, output, {}, result ? result : unused, 0, 0, 0, false};
    std::memset(job.result, 0, sizeof *job.result);
    return job;
}

// The first release of the job record ends with output_done.
constexpr uint32_t kFirstJobSize = offsetof(vrc_convert_job_t, output_done) + sizeof(vrc_convert_output_t);

}  // namespace

extern "C" VRC_API int vrc_convert_mp4_file(const char *input, const char *output,
                                            const vrc_convert_options_t *options, vrc_convert_result_t *result)
{
    vrc_convert_result_t unused;
    Job job = make_job(input, output, result, &unused);
    if (options) job.options = *options;
    return run(job);
}

extern "C" VRC_API int vrc_convert_run(const vrc_convert_job_t *request, vrc_convert_result_t *result)
{
    vrc_convert_result_t unused;
    const bool listed = request && request->inputs && request->input_count > 0;
    Job job = make_job(listed ? request->inputs[0] : nullptr, request ? request->output : nullptr, result, &unused);
    if (!request) return fail(job, -1, "no job");
    if (request->size < kFirstJobSize) return fail(job, VRC_CONVERT_ERR_UNSUPPORTED, "unknown job record");
    job.options = request->options;
    const bool whole = (request->from_ms == 0 || request->from_ms == VRC_CONVERT_NO_TIME) &&
                       (request->to_ms == 0 || request->to_ms == VRC_CONVERT_NO_TIME);
    if (request->input_count > 1 || !whole || request->segment_seconds != 0)
        return fail(job, VRC_CONVERT_ERR_UNSUPPORTED, "joins, time ranges and segments are not built yet");
    const int rc = run(job);
    if (rc == 0 && request->output_done) request->output_done(job.options.user, job.output, job.result);
    return rc;
}

extern "C" VRC_API int vrc_convert_mp4(const char *path)
{
    if (!path) return -1;
    try {
        const std::string output = std::string(path) + ".mp4";
        return vrc_convert_mp4_file(path, output.c_str(), nullptr, nullptr) == 0 ? 0 : -1;
    } catch (const std::bad_alloc &) {  // the output's name; nothing else in a conversion throws
        return -1;
    }
}
