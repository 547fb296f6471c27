// recfile-convert info: what the MP4 reader finds in a file: how sure the
// probe is that it is MP4, the reading mode, and the tracks it will deliver;
// for a legacy recording, what its frame headers tell.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "convert_plan.h"
#include "legacy_scan.h"
#include "library_output.h"
#include "mp4_input.h"
#include "subcommand.h"
#include "vrc_codec.h"

namespace {

constexpr const char *kName = "info";
// A probe score from which on a file the MP4 reader refuses is taken for a
// damaged MP4 file rather than searched for legacy frames.
constexpr int kMp4Likely = 50;

struct InfoArgs {
    std::vector<std::string> inputs;
    bool json = false;
    bool verbose = false;
    vrc_tool::NamingRules picking{std::string(), std::string(), true, false, ".rec"};  // -r and --ext
};

// One track as the reader delivers it.
struct TrackSummary {
    uint32_t slot;
    uint32_t kind;  // VRC_MEDIA_VIDEO, VRC_MEDIA_AUDIO, or another value: no frames
    const char *codec;
    std::string entry;      // the first sample entry's type, "" for none
    std::string handler;    // the handler's type (table mode), "" for none
    bool read;              // the reader delivers its frames (else frames counts what its tables declare)
    uint32_t width, height;             // video
    uint32_t sample_rate, channels;     // audio
    uint32_t frames, key_frames;
    uint32_t creation_time;
};

struct FileSummary {
    std::string path;
    int probe;
    std::string error;  // empty when the file was read
    const char *mode;
    uint32_t creation_time;
    uint32_t duration;
    vrc_mp4_recovery_t recovery;  // a recording without moov: what its records gave
    std::vector<TrackSummary> tracks;
    bool legacy;  // a legacy recording: the scan holds what there is to say
    vrc_tool::LegacyScan scan;
    std::string cut_short;  // a file cut short: what it kept, as text and as JSON members
    std::string cut_short_json;
};

int parse_args(int argc, char **argv, InfoArgs *args)
{
    for (int i = 0; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--json") == 0) {
            args->json = true;
        } else if (std::strcmp(arg, "--verbose") == 0 || std::strcmp(arg, "-v") == 0) {
            args->verbose = true;
        } else if (std::strcmp(arg, "--recursive") == 0 || std::strcmp(arg, "-r") == 0) {
            args->picking.recursive = true;
        } else if (std::strcmp(arg, "--ext") == 0) {
            const char *value = vrc_tool::option_value(kName, argc, argv, &i);
            if (!value) return vrc_tool::kExitUsage;
            args->picking.extension = value[0] == '.' ? value : std::string(".") + value;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return vrc_tool::usage_error(kName, std::string("unknown option ") + arg);
        } else {
            args->inputs.emplace_back(arg);
        }
    }
    if (args->inputs.empty()) return vrc_tool::usage_error(kName, "no file given");
    return 0;
}

// The channel count of the stream extract writes: in table mode an AAC
// track's AudioSpecificConfig holds the real one (sample entries of other
// muxers say 2 whatever the stream has); the recorder's mr00 entry is right.
uint32_t delivered_channels(const vrc_mp4_demuxer_t &ctx, uint32_t slot)
{
    const mov_audio_config_t &config = ctx.tracks[slot].audio_config;
    const mov_track_meta_t &meta = ctx.track_meta[slot];
    const bool from_config = !ctx.private_mode && meta.codec_id == VRC_CODEC_AAC && config.present;
    return from_config ? config.channels : meta.u.audio.channels;
}

// A box type as text; "" for 0, '?' for bytes that are not text.
std::string type_text(uint32_t type)
{
    std::string text;
    for (int shift = 0; type != 0 && shift < 32; shift += 8) {
        const char c = static_cast<char>(type >> shift);
        text += c >= 0x20 && c <= 0x7E ? c : '?';
    }
    return text;
}

// What to call a track's codec: its row's short name, else the name of the
// codec its sample entry holds ("H.265"), else "none".
const char *codec_of_track(const vrc_mp4_demuxer_t &ctx, uint32_t slot)
{
    const uint32_t codec_id = ctx.track_meta[slot].codec_id;
    const char *foreign = ctx.private_mode ? nullptr : vrc::codec_name_of_entry(ctx.tracks[slot].sample_entry_type);
    return codec_id == 0 && foreign ? foreign : vrc_tool::codec_name(codec_id);
}

TrackSummary summarize_track(const vrc_mp4_demuxer_t &ctx, uint32_t slot)
{
    const mov_track_meta_t &meta = ctx.track_meta[slot];
    const uint32_t kind = vrc_tool::track_kind(ctx, slot);
    const vrc_mp4_index_counts_t counts = vrc_tool::index_counts_of(ctx);
    TrackSummary t{};
    t.slot = slot;
    t.kind = kind;
    t.codec = codec_of_track(ctx, slot);
    t.creation_time = meta.creation_time;
    t.read = vrc_tool::read_track(ctx, kind) == slot;
    if (!ctx.private_mode) {
        t.entry = type_text(ctx.tracks[slot].sample_entry_type);
        t.handler = type_text(ctx.tracks[slot].hdlr.handler_type);
        t.frames = ctx.tracks[slot].stsz.sample_count;
    }
    if (kind == VRC_MEDIA_VIDEO) {
        t.width = meta.u.video.width;
        t.height = meta.u.video.height;
        if (t.read) t.frames = counts.video_samples;
        if (t.read) t.key_frames = counts.video_keys;
    } else if (kind == VRC_MEDIA_AUDIO) {
        t.sample_rate = meta.u.audio.sample_rate;
        t.channels = delivered_channels(ctx, slot);
        if (t.read) t.frames = counts.audio_samples;
    }
    return t;
}

// A file that is no MP4 file is described as a legacy recording when it
// holds a frame of one; otherwise the MP4 reader's reason stands.
void try_legacy(FileSummary *f)
{
    std::string reason;
    if (!vrc_tool::scan_legacy_recording(f->path, &f->scan, &reason)) {
        f->error = reason;
        return;
    }
    if (f->scan.frames == 0) return;
    f->legacy = true;
    f->error.clear();
}

// What cannot be opened is not probed either (-1): a pipe would block it.
FileSummary summarize(const std::string &path)
{
    FileSummary f{path, -1, vrc_tool::input_problem(path), "", 0, 0, {}, {}, false, {}, {}, {}};
    if (!f.error.empty()) return f;
    f.probe = vrc_mp4_demuxer_read_probe(path.c_str());
    const vrc_tool::Demuxer ctx = vrc_tool::open_mp4(path, &f.error);
    if (!ctx && f.probe >= 0 && f.probe < kMp4Likely) try_legacy(&f);
    if (!ctx) return f;
    f.mode = vrc_tool::mode_name(*ctx);
    f.creation_time = ctx->creation_time;
    f.duration = ctx->duration;
    f.recovery = vrc_tool::recovery_of(*ctx);
    const vrc_tool::SampleCounts counts = vrc_tool::sample_counts(*ctx, path);
    f.cut_short = vrc_tool::cut_short_text(counts);
    f.cut_short_json = vrc_tool::cut_short_json(counts);
    for (uint32_t slot = 0; slot < vrc_tool::track_count(*ctx); ++slot) f.tracks.push_back(summarize_track(*ctx, slot));
    return f;
}

const char *media_name(uint32_t kind)
{
    return kind == VRC_MEDIA_VIDEO ? "video" : kind == VRC_MEDIA_AUDIO ? "audio" : "other";
}

// A calendar time in milliseconds since 1970 as UTC text.
std::string utc_ms_text(int64_t ms)
{
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(ms % 1000));
    return vrc_tool::utc_text(ms / 1000) + fraction;
}

void print_legacy_text(std::FILE *out, const FileSummary &f)
{
    const vrc_tool::LegacyScan &s = f.scan;
    vrc_tool::print(out, "%s: legacy recording, %s to %s UTC, %.3f s", f.path.c_str(), utc_ms_text(s.first_ms).c_str(),
                    utc_ms_text(s.last_ms).c_str(), static_cast<double>(s.last_ms - s.first_ms) / 1000);
    if (s.video.frames != 0) {
        std::fprintf(out, ", video h264 %ux%u %s, %u frames (%u key", s.width, s.height,
                     s.profile.empty() ? "(no SPS)" : s.profile.c_str(), s.video.frames, s.key_frames);
        if (s.key_frames > 1) std::fprintf(out, ", at most %.3f s apart", s.longest_key_gap_ms / 1000.0);
        std::fputc(')', out);
    }
    if (s.audio.frames != 0) std::fprintf(out, ", audio g711u 8000 Hz mono, %u frames", s.audio.frames);
    std::fprintf(out, ", %llu bytes skipped, %u stamps going back, %u pauses over 1 s\n",
                 static_cast<unsigned long long>(s.bytes_skipped), s.video.steps_back + s.audio.steps_back,
                 s.video.pauses + s.audio.pauses);
}

void print_legacy_json(std::FILE *out, const vrc_tool::LegacyScan &s)
{
    std::fprintf(out, ",\"format\":\"legacy\",\"first\":\"%s\",\"last\":\"%s\",\"first_ms\":%lld,\"last_ms\":%lld,"
                 "\"duration_ms\":%lld,\"bytes_skipped\":%llu",
                 utc_ms_text(s.first_ms).c_str(), utc_ms_text(s.last_ms).c_str(),
                 static_cast<long long>(s.first_ms), static_cast<long long>(s.last_ms),
                 static_cast<long long>(s.last_ms - s.first_ms), static_cast<unsigned long long>(s.bytes_skipped));
    const std::string profile = s.profile.empty() ? "null" : vrc_tool::json_quote(s.profile);
    std::fprintf(out, ",\"video\":{\"codec\":\"h264\",\"width\":%u,\"height\":%u,\"profile\":%s,\"frames\":%u,"
                 "\"key_frames\":%u,\"longest_key_gap_ms\":%u,\"steps_back\":%u,\"pauses\":%u}",
                 s.width, s.height, profile.c_str(), s.video.frames, s.key_frames, s.longest_key_gap_ms,
                 s.video.steps_back, s.video.pauses);
    std::fprintf(out, ",\"audio\":{\"codec\":\"g711u\",\"sample_rate\":8000,\"channels\":1,\"frames\":%u,"
                 "\"steps_back\":%u,\"pauses\":%u}}\n",
                 s.audio.frames, s.audio.steps_back, s.audio.pauses);
}

const char *plural(uint32_t n) { return n == 1 ? "" : "s"; }

void print_text(std::FILE *out, const FileSummary &f)
{
    if (f.legacy) return print_legacy_text(out, f);
    // A file that records no creation time says so instead of 1970.
    const std::string created = f.creation_time ? vrc_tool::utc_text(f.creation_time) + " UTC" : "at an unknown time";
    vrc_tool::print(out, "%s: MP4 (probe %d), %s mode, created %s, %u s\n", f.path.c_str(), f.probe, f.mode,
                    created.c_str(), f.duration);
    if (f.recovery.no_moov) std::fprintf(out, "  %s\n", vrc_tool::recovery_text(f.recovery).c_str());
    if (!f.cut_short.empty()) std::fprintf(out, "  %s\n", f.cut_short.c_str());
    for (const TrackSummary &t : f.tracks) {
        const char *s = plural(t.frames);
        if (t.kind == VRC_MEDIA_VIDEO && t.read) {
            std::fprintf(out, "  track %u: video %s %ux%u, %u frame%s (%u key)\n", t.slot, t.codec, t.width, t.height,
                         t.frames, s, t.key_frames);
        } else if (t.kind == VRC_MEDIA_VIDEO) {
            std::fprintf(out, "  track %u: video %s ('%s') %ux%u, %u sample%s, not read\n", t.slot, t.codec,
                         t.entry.c_str(), t.width, t.height, t.frames, s);
        } else if (t.kind == VRC_MEDIA_AUDIO) {
            std::fprintf(out, "  track %u: audio %s %u Hz, %u channel%s, %u %s%s%s\n", t.slot, t.codec, t.sample_rate,
                         t.channels, plural(t.channels), t.frames, t.read ? "frame" : "sample", s,
                         t.read ? "" : ", not read");
        } else {
            std::fprintf(out, "  track %u: handler '%s', sample entry '%s', %u sample%s, not read\n", t.slot,
                         t.handler.c_str(), t.entry.c_str(), t.frames, s);
        }
    }
}

void print_json(std::FILE *out, const FileSummary &f)
{
    vrc_tool::print(out, "{%s,\"probe\":%d", vrc_tool::json_name("file", f.path).c_str(), f.probe);
    if (!f.error.empty()) {
        std::fprintf(out, ",\"error\":%s}\n", vrc_tool::json_quote(f.error).c_str());
        return;
    }
    if (f.legacy) return print_legacy_json(out, f.scan);
    const std::string created = f.creation_time ? vrc_tool::json_quote(vrc_tool::utc_text(f.creation_time)) : "null";
    std::fprintf(out, ",\"mode\":\"%s\",\"creation_time\":%u,\"created\":%s,\"duration\":%u,", f.mode,
                 f.creation_time, created.c_str(), f.duration);
    std::fprintf(out, "%s%s\"tracks\":[", vrc_tool::recovery_json(f.recovery).c_str(), f.cut_short_json.c_str());
    for (size_t i = 0; i < f.tracks.size(); ++i) {
        const TrackSummary &t = f.tracks[i];
        std::fprintf(out, "%s{\"track\":%u,\"media\":\"%s\",\"codec\":%s,\"handler\":%s,\"sample_entry\":%s,"
                     "\"read\":%s,\"creation_time\":%u,", i ? "," : "", t.slot, media_name(t.kind),
                     vrc_tool::json_quote(t.codec).c_str(), vrc_tool::json_quote(t.handler).c_str(),
                     vrc_tool::json_quote(t.entry).c_str(), t.read ? "true" : "false", t.creation_time);
        if (t.kind == VRC_MEDIA_VIDEO) {
            std::fprintf(out, "\"width\":%u,\"height\":%u,\"frames\":%u,\"key_frames\":%u}", t.width, t.height,
                         t.frames, t.key_frames);
        } else if (t.kind == VRC_MEDIA_AUDIO) {
            std::fprintf(out, "\"sample_rate\":%u,\"channels\":%u,\"frames\":%u}", t.sample_rate, t.channels,
                         t.frames);
        } else {
            std::fprintf(out, "\"frames\":%u}", t.frames);
        }
    }
    std::fputs("]}\n", out);
}

// The files named, or with -r the recordings under the directories named,
// picked as convert picks them (with the reason when one cannot be read).
std::vector<vrc_tool::Job> files_of(const InfoArgs &args)
{
    if (args.picking.recursive) return vrc_tool::plan_jobs(args.inputs, args.picking);
    std::vector<vrc_tool::Job> files;
    for (const std::string &path : args.inputs) {
        files.emplace_back();
        files.back().input = path;
    }
    return files;
}

int run_info(int argc, char **argv)
{
    InfoArgs args;
    const int usage = parse_args(argc, argv, &args);
    if (usage != 0) return usage;
    std::FILE *out = vrc_tool::report_stream(args.verbose);
    int status = vrc_tool::kExitOk;
    for (const vrc_tool::Job &job : files_of(args)) {
        const std::string &path = job.input;
        const FileSummary f = job.problem.empty() ? summarize(path) : FileSummary{path, -1, job.problem, "", 0, 0,
                                                                                 {}, {}, false, {}, {}, {}};
        if (!f.error.empty()) {
            vrc_tool::print(stderr, "recfile-convert info: %s: %s\n", path.c_str(), f.error.c_str());
            status = vrc_tool::kExitFailure;
        }
        if (args.json) {
            print_json(out, f);
        } else if (f.error.empty()) {
            print_text(out, f);
        }
    }
    std::fflush(out);
    return status;
}

}  // namespace

namespace vrc_tool {

const Subcommand kInfoCommand = {
    kName,
    "describe MP4 files as the reader sees them, and legacy recordings",
    "usage: recfile-convert info [--json] [--verbose] [-r [--ext EXT]] FILE|DIR...\n"
    "\n"
    "For each MP4 FILE: the probe's score (100 certain, 95 likely, 50 weak\n"
    "signs, 5 MP4-like but another kind, 0 none, -1 unreadable), the reading\n"
    "mode (private: the recorder's own records; table: the sample tables), the\n"
    "movie's creation time (UTC) and duration in whole seconds, and each track:\n"
    "codec, picture size or sampling rate and channels, and frame counts (for\n"
    "video also the key frames, where extract --from can start). The exit\n"
    "status is 1 when any file could not be read; the reason goes to standard\n"
    "error.\n"
    "\n"
    "A legacy recording (a file that is no MP4 file but holds legacy frames)\n"
    "gets one line from its frame headers, whose payloads are stepped over:\n"
    "the calendar time of its first and last frame (seconds from the wall-clock\n"
    "field, milliseconds from the stamp's last three digits) and the span\n"
    "between them; video frames, key frames and the longest time between two\n"
    "of them, picture size and H.264 profile from the first SPS; audio frames;\n"
    "the bytes the conversion would skip as damage; stamps that go back (the\n"
    "conversion repairs them) and steps of more than a second (pauses).\n"
    "\n"
    "  -r, --recursive    describe the recordings under each DIR, as convert -r\n"
    "                     picks them\n"
    "  --ext EXT          extension of the recordings -r picks (default .rec)\n"
    "  --json             one JSON object per file and line: file, probe, mode,\n"
    "                     creation_time (seconds since 1970 UTC; 0: none),\n"
    "                     created (its text, or null),\n"
    "                     duration, tracks[] with track, media, codec,\n"
    "                     creation_time, width/height or sample_rate/channels,\n"
    "                     frames and key_frames; or file, probe and error. A\n"
    "                     legacy recording gives file, probe, format \"legacy\",\n"
    "                     first, last (UTC text), first_ms, last_ms, duration_ms,\n"
    "                     bytes_skipped, video{codec, width, height, profile,\n"
    "                     frames, key_frames, longest_key_gap_ms, steps_back,\n"
    "                     pauses}, audio{codec, sample_rate, channels, frames,\n"
    "                     steps_back, pauses}. A name that is not UTF-8\n"
    "                     (either kind) shows U+FFFD for each stray\n"
    "                     byte and file_hex gives its bytes\n"
    "  -v, --verbose      show the library's own diagnostic lines\n",
    run_info,
};

}  // namespace vrc_tool
