#include "vrc_convert.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "vrc_aac_encoder.h"
#include "vrc_frame_feed.h"
#include "vrc_frame_source.h"
#include "vrc_media.h"
#include "vrc_mp4_demuxer.h"
#include "vrc_mp4_muxer.h"
#include "vrc_mp4_muxer_internal.h"
#include "vrc_output.h"
#include "vrc_output_names.h"
#include "vrc_platform.h"
#include "vrc_staged_file.h"
#include "vrc_uri_io.h"
#include "vrc_uri_io_block.h"

namespace {

// Longest output path taken: the longest path Windows accepts anywhere;
// the file system itself refuses what its own limits do not allow.
constexpr size_t kMaxOutputPath = 32767;
constexpr uint64_t kProgressStep = 1u << 20;
constexpr uint32_t kVideoSlot = 0;
constexpr uint32_t kAudioSlot = 1;

struct PayloadFree {
    void operator()(uint8_t *p) const { std::free(p); }
};

// One conversion's state beside the frame feed and the muxer.
struct Job {
    const vrc_convert_job_t *request;  // the job record as far as its size reaches, with inputs and output
    const char *output;                // the current output's name
    vrc_convert_options_t options;
    vrc_convert_result_t *result;
    bool any_input;                    // MP4 inputs too (only legacy recordings for vrc_convert_mp4_file)
    std::unique_ptr<vrc::AacEncoder> aac{};  // the mu-law's way to the muxer with VRC_CONVERT_AUDIO_AAC
    std::vector<const char *> in_time_order{};  // the inputs' paths as the feed takes them
};

int fail(Job &job, int code, const char *format, ...) VRC_PRINTF_FORMAT(3, 4);
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

int fail_with(vrc_convert_result_t *result, int code, const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    char *message = result->message;
    const int length = std::vsnprintf(message, sizeof result->message, format, args);
    // Longer than the message holds: formatted whole to keep its end too;
    // without memory for that, its beginning stays.
    char *text = length >= int{sizeof result->message} ? static_cast<char *>(std::malloc(size_t(length) + 1))
                                                       : nullptr;
    if (text) {
        std::vsnprintf(text, size_t(length) + 1, format, again);
        set_message(result->message, text, size_t(length));
        std::free(text);
    }
    va_end(again);
    return code;
}

int fail(Job &job, int code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fail_with(job.result, code, format, args);
    va_end(args);
    return code;
}

// Writes one frame. A frame the muxer cannot take (no slice, too large) is
// passed over; an output that does not hold the recording fails rather than
// losing its end. 0 or a failure code.
int write_frame(Job &job, vrc::FrameFeed &feed, vrc_mp4_muxer_t *muxer, const vrc::Frame &frame)
{
    const vrc_media_packet_t &packet = frame.packet;
    const int rc = job.aac && packet.media_type == VRC_MEDIA_AUDIO
                       ? job.aac->push(packet, muxer->nr_frames)
                       : vrc::mov_write_sample(*muxer, packet, frame.time, frame.exact);
    if (rc == 0) return 0;
    vrc::out_printf("write muxer failed!, ret = %d\n", rc);
    if (rc == VRC_ERR_MUXER_IO) return fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot write %s: %s", job.output,
                                            vrc::file_error_text());
    if (muxer->refusal.full)  // no later frame can go in either
        return fail(job, VRC_CONVERT_ERR_OUTPUT, "the recording holds more than one MP4 file can: %s (at offset %u)",
                    muxer->refusal.reason, packet.offset);
    feed.dropped(packet);
    return 0;
}

// Copies the feed's frames into the muxer until the feed ends or cuts to
// the next output (*cut). 0 or a failure code.
int copy_frames(Job &job, vrc::FrameFeed &feed, vrc_mp4_muxer_t *muxer, bool *cut)
{
    vrc::Frame frame;
    for (;;) {
        int rc = 0;
        const vrc::FeedStep step = feed.next(&frame, &rc);
        if (step == vrc::FeedStep::failed) return rc;
        *cut = step == vrc::FeedStep::cut;
        if (step != vrc::FeedStep::frame) return 0;
        rc = write_frame(job, feed, muxer, frame);
        if (rc != 0) return rc;
    }
}

void report_tracks(vrc_convert_result_t *result, const vrc_mp4_muxer_t &m)
{
    result->video_frames = m.nr_avframes[kVideoSlot];
    result->audio_frames = m.nr_avframes[kAudioSlot];
    result->video_steps_repaired = m.steps_repaired[kVideoSlot];
    result->audio_steps_repaired = m.steps_repaired[kAudioSlot];
}

// The frames go from the input's large blocks straight into batches of
// writes (the samples point into the blocks), so that each MiB costs about
// one read and one write. Without memory for the batch they are copied.
int copy_frames_in_blocks(Job &job, vrc::FrameFeed &feed, vrc_mp4_muxer_t *muxer, bool *cut)
{
    vrc::UriIoBatch batch;
    if (!batch.begin(muxer->pb)) return copy_frames(job, feed, muxer, cut);
    muxer->batch = &batch;
    feed.lend(&batch);
    int rc = copy_frames(job, feed, muxer, cut);
    feed.lend(nullptr);
    muxer->batch = nullptr;
    const int written = batch.end();
    if (rc == 0 && written != 0)
        rc = fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot write %s: %s", job.output, vrc::file_error_text());
    return rc;
}

// Mu-law is re-encoded as AAC when asked for; sound that is AAC already is
// copied.
bool encodes_aac(const Job &job, const vrc_track_info_t &audio)
{
    return (job.options.flags & VRC_CONVERT_AUDIO_AAC) != 0 && audio.codec_id == VRC_CODEC_G711U;
}

// The encoder feeds the muxer's audio track; its tail goes in after the last
// frame read.
int start_aac(Job &job, vrc_mp4_muxer_t *muxer)
{
    job.aac = vrc::aac_encoder_into_muxer(job.request->audio_bitrate, muxer, kAudioSlot);
    return job.aac ? 0 : fail(job, VRC_CONVERT_ERR_UNSUPPORTED, "AAC audio: the encoder cannot be set up");
}

int finish_aac(Job &job, vrc_mp4_muxer_t *muxer)
{
    const int rc = job.aac->finish();
    muxer->media_length[kAudioSlot] = job.aac->sound_length(muxer->tracks[kAudioSlot].timescale);
    if (rc == vrc::AAC_ERR_ENCODER) return fail(job, VRC_CONVERT_ERR_OUTPUT, "AAC audio: the encoder failed");
    if (rc != 0) return fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot write %s: %s", job.output, vrc::file_error_text());
    return 0;
}

// After an output's last frame: the range checked when the inputs ended
// there, and an output that took no frame refused. 0 or a failure code.
int end_output(Job &job, vrc::FrameFeed &feed, uint32_t frames, bool cut)
{
    const int rc = cut ? 0 : feed.finish();
    if (rc == 0 && frames == 0) return fail(job, VRC_CONVERT_ERR_NO_FRAMES, "no frame found");
    return rc;
}

// Reads the output's frames without writing them, cut where write_mp4
// would cut. 0 or a failure code.
int pass_over(Job &job, vrc::FrameFeed &feed, bool *cut)
{
    vrc::Frame frame;
    uint32_t frames = 0;
    int rc = 0;
    vrc::FeedStep step;
    while ((step = feed.next(&frame, &rc)) == vrc::FeedStep::frame) ++frames;
    if (step == vrc::FeedStep::failed) return rc;
    *cut = step == vrc::FeedStep::cut;
    return end_output(job, feed, frames, *cut);
}

// Writes the output's MP4 file at path (the temporary name of job.output)
// and closes it; what went into it is added to *result. 0 or a failure code.
int write_mp4(Job &job, vrc::FrameFeed &feed, const char *path, vrc_convert_result_t *result, bool *cut)
{
    // The file was just created empty: truncating it again would only cost.
    vrc_mp4_muxer_t *muxer = vrc_mp4_muxer_open(path, VRC_URI_IO_FLAG_WRITE | vrc::URI_IO_FLAG_CREATED);
    if (!muxer) {
        vrc::out_puts("vrc_mp4_muxer_new err");
        return fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot create %s: %s", job.output, vrc::file_error_text());
    }
    vrc_track_info_t tracks[2];
    feed.describe(tracks);
    const bool aac = encodes_aac(job, tracks[kAudioSlot]);
    if (aac) {  // the encoder's packets are stamped in milliseconds
        tracks[kAudioSlot].codec_id = VRC_CODEC_AAC;
        tracks[kAudioSlot].timescale = 1000;
    }
    vrc_mp4_muxer_set_config(muxer, 0, 0);
    vrc_mp4_muxer_set_faststart(muxer, (job.options.flags & VRC_CONVERT_FASTSTART) != 0);
    vrc_mp4_muxer_add_tracks(muxer, tracks, 2);
    if (!aac)  // sound copied keeps the configuration its input declares
        muxer->audio_config_size = feed.audio_config(muxer->audio_config, sizeof muxer->audio_config);
    int rc = vrc_mp4_muxer_write_header(muxer);
    if (rc < 0) {
        vrc::out_printf("write_header failed!, ret = %d\n", rc);
        rc = fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot write the MP4 header");
    } else {
        if (aac) rc = start_aac(job, muxer);
        if (rc == 0) rc = copy_frames_in_blocks(job, feed, muxer, cut);
        if (rc == 0 && aac) rc = finish_aac(job, muxer);
    }
    job.aac.reset();  // it writes into this output's muxer only
    if (rc == 0) rc = end_output(job, feed, muxer->nr_frames, *cut);
    if (rc == 0) {
        feed.set_edits(muxer);
        const int tail = vrc_mp4_muxer_write_tailer(muxer);
        report_tracks(result, *muxer);
        if (tail < 0) {
            vrc::out_printf("write tailer failed!, ret = %d\n", tail);
            rc = fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot write %s: %s", job.output, vrc::file_error_text());
        }
    }
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

// Refuses an output that is an input under another name (a link, say) and,
// when asked, any existing output.
int check_output(Job &job, const vrc::FrameFeed &feed)
{
    vrc::FileIdentity existing;
    if (!vrc::file_identity(job.output, &existing)) return 0;
    for (const vrc::InputRecord &input : feed.inputs().records)
        if (vrc::same_file(existing, input.identity))
            return fail(job, VRC_CONVERT_ERR_SAME_FILE, "the output %s is the input itself", job.output);
    // A device (the null device, for a test that reads) is written into, never replaced.
    const bool device = !existing.regular && !existing.directory;
    if ((job.options.flags & VRC_CONVERT_KEEP_EXISTING) && !device)
        return fail(job, VRC_CONVERT_ERR_EXISTS, "the output %s exists", job.output);
    return 0;
}

// The bytes reach the disk before the file takes its name and the name
// after: a power cut then leaves the output whole or absent, never an empty
// or cut file under its name, as the system's write-back order could.
int move_into_place(Job &job, vrc::StagedFile &staged, vrc_convert_result_t *result)
{
    const bool replace = (job.options.flags & VRC_CONVERT_KEEP_EXISTING) == 0;
    const bool sync = (job.options.flags & VRC_CONVERT_NO_SYNC) == 0;
    if (sync && !staged.sync_data())
        return fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot write %s: %s", job.output, vrc::file_error_text());
    const vrc::FileOutcome moved = staged.put_in_place(replace);
    if (moved == vrc::FileOutcome::exists) return fail(job, VRC_CONVERT_ERR_EXISTS, "the output %s exists", job.output);
    if (moved == vrc::FileOutcome::failed)
        return fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot put %s in place: %s", job.output, vrc::file_error_text());
    if (sync && !staged.sync_name())
        return fail(job, VRC_CONVERT_ERR_OUTPUT, "cannot store the name of %s on the disk: %s", job.output,
                    vrc::file_error_text());
    vrc::FileIdentity written;
    if (vrc::file_identity(job.output, &written)) result->bytes_written = written.size;
    return 0;
}

// The job's inputs in time order, each opened once to learn its start and
// closed again; the first one's tracks and skips are kept. 0 or a failure
// code.
int open_inputs(Job &job, uint8_t *payload, vrc::Progress *progress, vrc::Inputs *inputs)
{
    inputs->open = job.any_input ? vrc::open_frame_source : vrc::open_legacy_source;
    inputs->reference = job.request->reference;
    inputs->progress = progress;
    std::vector<vrc::InputRecord> found;
    int64_t earliest = INT64_MAX;
    for (uint32_t i = 0; i < job.request->input_count; ++i) {
        const char *input = job.request->inputs[i];
        if (!input) return fail(job, -1, "no input or output path");
        int rc = 0;
        const std::unique_ptr<vrc::FrameSource> source = inputs->open_path(input, payload, job.result, &rc);
        if (rc != 0) return rc;
        if (found.empty() || source->first_ms() < earliest) {  // the first in time so far (sorting keeps ties)
            earliest = source->first_ms();
            source->describe(inputs->front_tracks);
            for (uint32_t slot = 0; slot < 2; ++slot) inputs->front_skip[slot] = source->skip(slot);
            inputs->front_audio_config_size =
                source->audio_config(inputs->front_audio_config, sizeof inputs->front_audio_config);
        }
        found.push_back(vrc::InputRecord{input, source->identity(), source->first_ms(), 0});
    }
    std::vector<size_t> order(found.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return found[a].first_ms < found[b].first_ms; });
    uint64_t total = 0;
    for (const size_t i : order) {
        found[i].base = total;
        total += found[i].identity.size;
        inputs->records.push_back(found[i]);
        job.in_time_order.push_back(found[i].path);
    }
    *progress = vrc::Progress(job.options, total);
    return 0;
}

vrc::FeedPlan plan_of(const vrc_convert_job_t &request)
{
    vrc::FeedPlan plan;
    if (request.from_ms != 0) plan.from_ms = request.from_ms;
    if (request.to_ms != 0) plan.to_ms = request.to_ms;
    plan.segment_ms = int64_t{request.segment_seconds} * 1000;
    plan.zone_ms = int64_t{request.name_utc_offset_minutes} * 60000;
    return plan;
}

void add_output(vrc_convert_result_t *sum, const vrc_convert_result_t &output)
{
    sum->video_frames += output.video_frames;
    sum->audio_frames += output.audio_frames;
    sum->video_steps_repaired += output.video_steps_repaired;
    sum->audio_steps_repaired += output.audio_steps_repaired;
    sum->bytes_written += output.bytes_written;
}

// The host hears of the start before any frame is read.
int announce(Job &job, vrc::Progress &progress)
{
    return progress.report(0, 0, true) ? 0 : fail(job, VRC_CONVERT_ERR_CANCELLED, "cancelled");
}

// Whether the current output is read past rather than written: only its
// name is asked for, or it is there already, whole.
bool passes_over(const Job &job)
{
    if (job.options.flags & VRC_CONVERT_NAMES_ONLY) return true;
    return (job.options.flags & VRC_CONVERT_KEEP_WHOLE) && vrc_mp4_demuxer_check_complete(job.output) == 1;
}

// One output: staged, written, checked and put in place, or read past;
// output_done learns what went into it. unannounced: the progress to
// announce the start to, once the first output is staged. 0 or a failure
// code.
int write_output(Job &job, vrc::FrameFeed &feed, vrc::Progress *unannounced, bool *cut)
{
    vrc::StagedFile staged(job.output);  // its temporary file goes when the conversion fails
    const uint32_t dropped = job.result->frames_dropped;
    const uint64_t skipped = job.result->bytes_skipped;
    const bool written_here = !passes_over(job);
    int rc = check_output(job, feed);
    if (rc == 0 && written_here) rc = create_temp_file(job, staged);
    // Moving the media data behind moov reads them back: a device or a pipe
    // gives nothing back to move.
    if (rc == 0 && written_here && (job.options.flags & VRC_CONVERT_FASTSTART) && staged.straight())
        rc = fail(job, VRC_CONVERT_ERR_OUTPUT, "%s is no regular file: moov cannot be moved in front there",
                  job.output);
    if (rc == 0 && unannounced) rc = announce(job, *unannounced);
    vrc_convert_result_t written{};
    if (rc == 0)
        rc = written_here ? write_mp4(job, feed, staged.path().c_str(), &written, cut) : pass_over(job, feed, cut);
    if (rc == 0 && written_here) rc = move_into_place(job, staged, &written);
    add_output(job.result, written);
    if (written_here) {
        written.frames_dropped = job.result->frames_dropped - dropped;
        written.bytes_skipped = job.result->bytes_skipped - skipped;
    }
    if (rc == 0 && job.request->output_done) job.request->output_done(job.options.user, job.output, &written);
    return rc;
}

// What the join's checks compare of an input: its span and its sound.
struct JoinPart {
    int64_t first_ms, last_ms;
    uint32_t sound;
};

// Input i, opened for it; false when it cannot be opened any more.
bool join_part(const vrc::Inputs &inputs, size_t i, uint8_t *payload, vrc_convert_result_t *result, JoinPart *part)
{
    int rc = 0;
    const std::unique_ptr<vrc::FrameSource> source = inputs.source(i, payload, result, &rc);
    if (!source) return false;
    vrc_track_info_t tracks[2];
    source->describe(tracks);
    *part = JoinPart{source->first_ms(), source->last_ms(payload), tracks[kAudioSlot].codec_id};
    return true;
}

const char *sound_name(uint32_t codec)
{
    return codec == VRC_CODEC_G711U ? "mu-law" : codec == VRC_CODEC_AAC ? "AAC" : "no sound";
}

// A refused join's message names the first input (in time order) that does
// not fit, the one it is held against and how: its sound against the first
// input's, or its start against the end of those before it. The feed's own
// words stay when no input shows why.
void name_misfit(Job &job, const vrc::Inputs &inputs, uint8_t *payload)
{
    JoinPart first{};
    if (!join_part(inputs, 0, payload, job.result, &first)) return;
    int64_t end_ms = first.last_ms;
    const char *first_name = job.in_time_order.front(), *ending = first_name;
    for (size_t i = 1; i < inputs.records.size(); ++i) {
        JoinPart part{};
        if (!join_part(inputs, i, payload, job.result, &part)) return;
        const char *name = job.in_time_order[i];
        if (part.first_ms < end_ms) {
            fail(job, VRC_CONVERT_ERR_JOIN, "the recordings overlap in time: %s begins %.3f s before %s ends", name,
                 double(end_ms - part.first_ms) / 1000, ending);
            return;
        }
        if (part.sound != first.sound) {
            fail(job, VRC_CONVERT_ERR_JOIN, "the recordings' sound differs: %s holds %s, %s %s", name,
                 sound_name(part.sound), first_name, sound_name(first.sound));
            return;
        }
        if (part.last_ms > end_ms) {
            end_ms = part.last_ms;
            ending = name;
        }
    }
}

int convert(Job &job)
{
    const std::unique_ptr<uint8_t, PayloadFree> payload(static_cast<uint8_t *>(std::calloc(vrc::kPayloadCapacity, 1)));
    if (!payload) return fail(job, -1, "out of memory");
    vrc::Progress progress(job.options, 0);
    vrc::Inputs inputs;
    int rc = open_inputs(job, payload.get(), &progress, &inputs);
    if (rc != 0) return rc;
    vrc::FrameFeed feed(std::move(inputs), plan_of(*job.request), payload.get(), job.result);
    rc = feed.start();
    // A segment's name needs its first frame.
    const bool segmented = job.request->segment_seconds != 0;
    if (rc == 0 && segmented) rc = announce(job, progress);
    if (rc == 0 && segmented) rc = feed.look_ahead();
    vrc::OutputNames names(job.request->output, segmented, job.request->name_utc_offset_minutes);
    for (bool first = true, cut = true; rc == 0 && cut; first = false) {
        job.output = names.next(feed.output_start_ms(), &rc, job.result);
        if (rc == 0) rc = write_output(job, feed, first && !segmented ? &progress : nullptr, &cut);
        feed.begin_output();
    }
    if (rc == 0) feed.note(job.result->message, sizeof job.result->message);
    if (rc == VRC_CONVERT_ERR_JOIN) name_misfit(job, feed.inputs(), payload.get());
    return rc;
}

// Runs a job whose records are in place. The names of the temporary file
// are the conversion's only allocations that throw; the staged file removes
// what it made as the failure unwinds.
int run(Job &job)
{
    const bool listed = job.request->inputs && job.request->input_count > 0;
    if (!listed || !job.request->output) return fail(job, -1, "no input or output path");
    const vrc::OutputRedirect redirect(job.options.line, job.options.user);
    if (std::strlen(job.request->output) > kMaxOutputPath) {
        vrc::out_puts("ERROR : The parameter is too long");
        return fail(job, VRC_CONVERT_ERR_PATH_TOO_LONG, "the output path is too long");
    }
    const char *no_aac =
        job.options.flags & VRC_CONVERT_AUDIO_AAC ? vrc::aac_encoder_refusal(job.request->audio_bitrate) : nullptr;
    if (no_aac) return fail(job, VRC_CONVERT_ERR_UNSUPPORTED, "AAC audio: %s", no_aac);
    vrc::out_printf("MOV_BOX_ATOM_SIZE  size is %ld\n", 8L);
    vrc::out_printf("mov_box_mvhd_t size is %ld\n", 100L);
    try {
        return convert(job);
    } catch (const std::bad_alloc &) {
        return fail(job, -1, "out of memory");
    }
}

Job make_job(const vrc_convert_job_t *request, vrc_convert_result_t *result, vrc_convert_result_t *unused)
{
    Job job{request, request ? request->output : nullptr, {}, result ? result : unused, true};
    std::memset(job.result, 0, sizeof *job.result);
    return job;
}

// The first release of the job record ends with output_done.
constexpr uint32_t kFirstJobSize = offsetof(vrc_convert_job_t, output_done) + sizeof(vrc_convert_output_t);

}  // namespace

namespace vrc {

int fail_result(vrc_convert_result_t *result, int code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fail_with(result, code, format, args);
    va_end(args);
    return code;
}

// Forced reports (the start, each input's end) leave the rhythm of the
// others as it was.
bool Progress::report(uint64_t base, uint64_t done, bool forced)
{
    if (!options_.progress) return true;
    if (!forced) {
        if (base + done < next_) return true;
        next_ = base + done + kProgressStep;
    }
    return options_.progress(options_.user, base + done, total_) == 0;
}

}  // namespace vrc

extern "C" VRC_API int vrc_convert_mp4_file(const char *input, const char *output,
                                            const vrc_convert_options_t *options, vrc_convert_result_t *result)
{
    vrc_convert_result_t unused;
    vrc_convert_job_t request{};
    request.size = sizeof request;
    request.inputs = &input;
    request.input_count = input ? 1 : 0;
    request.output = output;
    if (options) request.options = *options;
    Job job = make_job(&request, result, &unused);
    job.options = request.options;
    job.any_input = false;  // this entry converts legacy recordings, as it always did
    return run(job);
}

extern "C" VRC_API int vrc_convert_run(const vrc_convert_job_t *request, vrc_convert_result_t *result)
{
    vrc_convert_result_t unused;
    if (!request) {
        vrc_convert_result_t *reported = result ? result : &unused;
        std::memset(reported, 0, sizeof *reported);
        return vrc::fail_result(reported, -1, "no job");
    }
    // Members past the host's record read as zero.
    vrc_convert_job_t known{};
    std::memcpy(&known, request, std::min<size_t>(request->size, sizeof known));
    Job job = make_job(&known, result, &unused);
    if (request->size < kFirstJobSize) return fail(job, VRC_CONVERT_ERR_UNSUPPORTED, "unknown job record");
    job.options = known.options;
    return run(job);
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
