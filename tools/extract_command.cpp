// recfile-convert extract: the frames of an MP4 file as the reader delivers
// them, video as an H.264 Annex B stream and audio as raw mu-law or ADTS AAC,
// optionally from a calendar time on.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "library_output.h"
#include "mp4_input.h"
#include "output_file.h"
#include "subcommand.h"
#include "time_text.h"
#include "vrc_codec.h"
#include "vrc_mp4_muxer.h"

namespace {

constexpr const char *kName = "extract";
// The largest sample the frame records can describe, and what the reader puts
// in front of one: start codes and parameter sets, or an ADTS header.
constexpr size_t kFrameBufferSize = VRC_MUXER_MAX_SAMPLE_SIZE + 4096;

struct ExtractArgs : vrc_tool::OneFileArgs {
    std::string from;     // as given
    int64_t from_utc = 0; // seconds since 1970 UTC (milliseconds given are dropped)
    std::string video;
    std::string audio;
};

struct StreamReport {
    uint32_t frames = 0;
    uint32_t key_frames = 0;
    uint64_t bytes = 0;
    uint32_t codec_id = 0;  // of the file's track
};

struct ExtractReport {
    StreamReport video, audio;
    uint32_t first_timestamp = 0;  // of the first video frame, milliseconds
    uint32_t first_utctime = 0;
    std::string recovery;  // a recording without moov: what its records gave
    std::string cut_short;       // a file cut short: what it kept, as text and as JSON members
    std::string cut_short_json;
};

int parse_args(int argc, char **argv, ExtractArgs *args)
{
    for (int i = 0; i < argc; ++i) {
        const char *arg = argv[i];
        std::string *value = std::strcmp(arg, "--from") == 0    ? &args->from
                             : std::strcmp(arg, "--video") == 0 ? &args->video
                             : std::strcmp(arg, "--audio") == 0 ? &args->audio
                                                                : nullptr;
        if (value) {
            const char *given = vrc_tool::option_value(kName, argc, argv, &i);
            if (!given) return vrc_tool::kExitUsage;
            *value = given;
        } else if (vrc_tool::take_one_file_arg(kName, arg, args) != 0) {
            return vrc_tool::kExitUsage;
        }
    }
    if (args->input.empty()) return vrc_tool::usage_error(kName, "no file given");
    int64_t from_ms = 0;
    if (!args->from.empty() && !vrc_tool::parse_calendar_time(args->from.c_str(), &from_ms))
        return vrc_tool::usage_error(kName, vrc_tool::refusal("--from needs a time such as \"2024-01-01 08:30:00\" "
                                                              "or \"2024-01-01 08:30:00.960 +08:00\"", args->from));
    args->from_utc = from_ms / 1000;  // the reader seeks by the second
    return 0;
}

// The seek reads the calendar fields it is given as the host's local standard
// time shifted by the context's zone. Giving it the UTC fields of the time
// together with the zone that undoes the host's makes the result the same
// on every host.
int seek_to_utc(vrc_mp4_demuxer_t *ctx, int64_t utc)
{
    const vrc_date_time_t when = vrc_gmtime_to_date_time(utc, 0, 0, 0);
    const int64_t host_shift = vrc_date_time_to_gmtime(when) - utc;
    ctx->tz = static_cast<uint32_t>(host_shift < 0 ? -host_shift : host_shift);
    ctx->tz_west = host_shift < 0;
    ctx->dst = 0;
    return vrc_mp4_demuxer_seek(ctx, when);
}

void count(StreamReport *stream, const vrc_media_packet_t &pkt)
{
    ++stream->frames;
    stream->key_frames += pkt.key_frame ? 1 : 0;
    stream->bytes += pkt.size;
}

// Reads every frame from the current position on, until the reader reports
// the end or an output takes no more (its stream's error tells).
void copy_frames(vrc_mp4_demuxer_t *ctx, std::FILE *video, std::FILE *audio, ExtractReport *report)
{
    const std::unique_ptr<uint8_t[]> buf(new uint8_t[kFrameBufferSize]);
    vrc_media_packet_t pkt;
    while (vrc_mp4_demuxer_read_packet(ctx, &pkt, buf.get(), static_cast<int>(kFrameBufferSize)) == 0) {
        const bool is_video = pkt.media_type == VRC_MEDIA_VIDEO;
        if (is_video && report->video.frames == 0) {
            report->first_timestamp = pkt.timestamp;
            report->first_utctime = pkt.utctime;
        }
        count(is_video ? &report->video : &report->audio, pkt);
        std::FILE *out = is_video ? video : audio;
        if (out && std::fwrite(pkt.data, 1, pkt.size, out) != pkt.size) return;
    }
}

const char *audio_format(uint32_t codec_id)
{
    if (codec_id == 0) return "none";
    const vrc::CodecRow *codec = vrc::codec_by_id(codec_id);
    return codec ? codec->stream_format : "raw";
}

void print_text(std::FILE *out, const ExtractArgs &args, const ExtractReport &r)
{
    vrc_tool::print(out, "%s: %u video frames (%u key, %ju bytes)%s%s, %u audio frames (%s, %ju bytes)%s%s\n",
                    args.input.c_str(), r.video.frames, r.video.key_frames, static_cast<uintmax_t>(r.video.bytes),
                    args.video.empty() ? "" : " -> ", args.video.c_str(), r.audio.frames,
                    audio_format(r.audio.codec_id), static_cast<uintmax_t>(r.audio.bytes),
                    args.audio.empty() ? "" : " -> ", args.audio.c_str());
    for (const std::string *note : {&r.recovery, &r.cut_short})
        if (!note->empty()) vrc_tool::print(out, "%s: %s\n", args.input.c_str(), note->c_str());
    if (!args.from.empty())
        vrc_tool::print(out, "%s: from the key frame at %u ms (%s UTC)\n", args.input.c_str(), r.first_timestamp,
                        vrc_tool::utc_text(r.first_utctime).c_str());
}

void print_stream_json(std::FILE *out, const char *name, const std::string &path, const StreamReport &s,
                       const char *format)
{
    vrc_tool::print(out,
                    ",\"%s\":{%s,\"codec\":\"%s\",\"format\":\"%s\",\"frames\":%u,\"key_frames\":%u,\"bytes\":%ju}",
                    name, path.empty() ? "\"path\":null" : vrc_tool::json_name("path", path).c_str(),
                    vrc_tool::codec_name(s.codec_id), format, s.frames, s.key_frames, static_cast<uintmax_t>(s.bytes));
}

void print_json(std::FILE *out, const ExtractArgs &args, const ExtractReport &r, const vrc_mp4_demuxer_t &ctx)
{
    const std::string recovery =
        vrc_tool::recovery_json(vrc_tool::recovery_of(ctx)) + r.cut_short_json;
    vrc_tool::print(out, "{%s,%s\"mode\":\"%s\"", vrc_tool::json_name("file", args.input).c_str(), recovery.c_str(),
                    vrc_tool::mode_name(ctx));
    if (!args.from.empty())
        std::fprintf(out, ",\"from\":%lld,\"first_video_timestamp\":%u,\"first_video_utctime\":%u",
                     static_cast<long long>(args.from_utc), r.first_timestamp, r.first_utctime);
    print_stream_json(out, "video", args.video, r.video, "annexb");
    print_stream_json(out, "audio", args.audio, r.audio, audio_format(r.audio.codec_id));
    std::fputs("}\n", out);
}

int fail(const ExtractArgs &args, const std::string &reason, int status = vrc_tool::kExitFailure)
{
    vrc_tool::print(stderr, "recfile-convert extract: %s: %s\n", args.input.c_str(), reason.c_str());
    return status;
}

std::string recording_span(const vrc_mp4_demuxer_t &ctx)
{
    const uint32_t start = ctx.track_meta[0].creation_time;
    return "the recording runs from " + vrc_tool::utc_text(start) + " to " +
           vrc_tool::utc_text(int64_t{start} + ctx.duration) + " UTC";
}

// Why the outputs must not be written: one would replace the input or the
// other output. Empty when they may.
std::string output_clash(const ExtractArgs &args)
{
    std::vector<std::string> named;
    for (const std::string *output : {&args.video, &args.audio}) {
        if (output->empty()) continue;
        const std::string clash = vrc_tool::output_clash(*output, {args.input}, named);
        if (!clash.empty()) return clash;
        named.push_back(*output);
    }
    return std::string();
}

// Opens the outputs asked for; false with the reason when one cannot be made.
bool open_outputs(const ExtractArgs &args, vrc_tool::OutputFile *video, vrc_tool::OutputFile *audio,
                  std::string *reason)
{
    return (args.video.empty() || video->open(args.video, reason)) &&
           (args.audio.empty() || audio->open(args.audio, reason));
}

// Both outputs are written out before either takes its name, so that a full
// disk leaves neither.
bool finish_outputs(vrc_tool::OutputFile *video, vrc_tool::OutputFile *audio, std::string *reason)
{
    return video->close(reason) && audio->close(reason) && video->put_in_place(reason) &&
           audio->put_in_place(reason);
}

int run_extract(int argc, char **argv)
{
    ExtractArgs args;
    const int usage = parse_args(argc, argv, &args);
    if (usage != 0) return usage;
    std::FILE *out = vrc_tool::report_stream(args.verbose);
    std::string reason = output_clash(args);
    if (!reason.empty()) return fail(args, reason);
    const vrc_tool::Demuxer ctx = vrc_tool::open_mp4(args.input, &reason);
    if (!ctx) return fail(args, reason);
    reason = vrc_tool::unread_codec(*ctx);
    const vrc_tool::SampleCounts counts = vrc_tool::sample_counts(*ctx, args.input);
    if (reason.empty()) reason = vrc_tool::unreadable_samples(counts);
    if (!reason.empty()) return fail(args, reason);
    if (!args.from.empty() && seek_to_utc(ctx.get(), args.from_utc) != 0)
        return fail(args, "no key frame at or before " + vrc_tool::utc_text(args.from_utc) + " UTC: " +
                              recording_span(*ctx),
                    vrc_tool::kExitNoSuchTime);
    vrc_tool::OutputFile video, audio;
    if (!open_outputs(args, &video, &audio, &reason)) return fail(args, reason);

    ExtractReport report;
    report.video.codec_id = vrc_tool::codec_of_kind(*ctx, VRC_MEDIA_VIDEO);
    report.audio.codec_id = vrc_tool::codec_of_kind(*ctx, VRC_MEDIA_AUDIO);
    copy_frames(ctx.get(), video.stream(), audio.stream(), &report);
    report.recovery = vrc_tool::recovery_text(vrc_tool::recovery_of(*ctx));
    report.cut_short = vrc_tool::cut_short_text(counts);
    report.cut_short_json = vrc_tool::cut_short_json(counts);
    if (report.video.frames == 0 && report.audio.frames == 0) return fail(args, "no video or audio frame to read");
    if (!finish_outputs(&video, &audio, &reason)) return fail(args, reason);
    if (args.json) {
        print_json(out, args, report, *ctx);
    } else {
        print_text(out, args, report);
    }
    std::fflush(out);
    return vrc_tool::kExitOk;
}

}  // namespace

namespace vrc_tool {

const Subcommand kExtractCommand = {
    kName,
    "write the frames of an MP4 file as H.264 Annex B, mu-law or ADTS AAC",
    "usage: recfile-convert extract FILE [--from TIME] [--video OUT.h264] [--audio OUT]\n"
    "                               [--json] [--verbose]\n"
    "\n"
    "Reads the MP4 FILE frame by frame as the library delivers it and writes the\n"
    "video as an H.264 Annex B stream (start codes; SPS and PPS in front of every\n"
    "key frame) and the audio as it comes: raw G.711 mu-law, or AAC with an ADTS\n"
    "header in front of every frame. Without --video and --audio it only reads\n"
    "and counts. Prints what it wrote. The outputs appear under their names only\n"
    "when complete; an output that is FILE or the other output, even under\n"
    "another name, is refused.\n"
    "\n"
    "  --from TIME        start at the video key frame at or before TIME, and the\n"
    "                     audio at its first frame not before TIME. TIME is\n"
    "                     \"YYYY-MM-DD HH:MM:SS\" in UTC, or the wall clock of another\n"
    "                     zone with its offset appended: \"2024-01-01 08:00:00 +08:00\".\n"
    "                     Milliseconds (\"08:00:00.960\") are taken; the seek goes by\n"
    "                     the whole second.\n"
    "                     The host's own time zone plays no part. The recording's\n"
    "                     clock starts at its first track's creation time (see\n"
    "                     recfile-convert info) and runs for its duration in whole\n"
    "                     seconds; a TIME outside it is refused (exit status 3)\n"
    "  --video OUT.h264   write the video there\n"
    "  --audio OUT        write the audio there (.ul for mu-law, .aac for AAC)\n"
    "  --json             report as one JSON object: file, mode, from (seconds\n"
    "                     since 1970 UTC), first_video_timestamp (ms) and\n"
    "                     first_video_utctime, and for video and audio: path,\n"
    "                     codec, format, frames, key_frames, bytes (names that\n"
    "                     are not UTF-8 as in info --json)\n"
    "  -v, --verbose      show the library's own diagnostic lines\n"
    "\n"
    "A file of which the reader cannot take every sample its tables list (cut\n"
    "short; samples past 4 GiB; more than 1000000 samples of video or of audio,\n"
    "which mu-law in a QuickTime file, a sample per byte, reaches after 125 s)\n"
    "is refused rather than extracted in part.\n"
    "\n"
    "Exit status: 0 done; 1 the file cannot be read (no regular file, no MP4, no\n"
    "track, not every sample, not a frame), an output is refused or cannot be\n"
    "written; 2 bad command line; 3 TIME lies outside the recording or it has\n"
    "no key frame to start from.\n",
    run_extract,
};

}  // namespace vrc_tool
