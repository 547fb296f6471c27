// recfile-convert info: what the MP4 reader finds in a file: how sure the
// probe is that it is MP4, the reading mode, and the tracks it will deliver.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "library_output.h"
#include "mp4_input.h"
#include "subcommand.h"

namespace {

constexpr const char *kName = "info";

struct InfoArgs {
    std::vector<std::string> inputs;
    bool json = false;
    bool verbose = false;
};

// One track as the reader delivers it.
struct TrackSummary {
    uint32_t slot;
    uint32_t kind;  // VRC_MEDIA_VIDEO, VRC_MEDIA_AUDIO, or another value: no frames
    const char *codec;
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
    std::vector<TrackSummary> tracks;
};

int parse_args(int argc, char **argv, InfoArgs *args)
{
    for (int i = 0; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--json") == 0) {
            args->json = true;
        } else if (std::strcmp(arg, "--verbose") == 0 || std::strcmp(arg, "-v") == 0) {
            args->verbose = true;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return vrc_tool::usage_error(kName, std::string("unknown option ") + arg);
        } else {
            args->inputs.emplace_back(arg);
        }
    }
    if (args->inputs.empty()) return vrc_tool::usage_error(kName, "no file given");
    return 0;
}

uint32_t count_key_frames(const vrc_mp4_demuxer_t &ctx)
{
    uint32_t keys = 0;
    for (uint32_t i = 0; i < ctx.nr_video_frames; ++i) keys += ctx.video_frames[i].info.key_frame;
    return keys;
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

TrackSummary summarize_track(const vrc_mp4_demuxer_t &ctx, uint32_t slot)
{
    const mov_track_meta_t &meta = ctx.track_meta[slot];
    const uint32_t kind = vrc_tool::track_kind(ctx, slot);
    TrackSummary t{};
    t.slot = slot;
    t.kind = kind;
    t.codec = vrc_tool::codec_name(meta.codec_id);
    t.creation_time = meta.creation_time;
    if (kind == VRC_MEDIA_VIDEO) {
        t.width = meta.u.video.width;
        t.height = meta.u.video.height;
        t.frames = ctx.nr_video_frames;
        t.key_frames = count_key_frames(ctx);
    } else if (kind == VRC_MEDIA_AUDIO) {
        t.sample_rate = meta.u.audio.sample_rate;
        t.channels = delivered_channels(ctx, slot);
        t.frames = ctx.nr_audio_frames;
    }
    return t;
}

// What cannot be opened is not probed either (-1): a pipe would block it.
FileSummary summarize(const std::string &path)
{
    FileSummary f{path, -1, vrc_tool::input_problem(path), "", 0, 0, {}};
    if (!f.error.empty()) return f;
    f.probe = vrc_mp4_demuxer_read_probe(path.c_str());
    const vrc_tool::Demuxer ctx = vrc_tool::open_mp4(path, &f.error);
    if (!ctx) return f;
    f.mode = vrc_tool::mode_name(*ctx);
    f.creation_time = ctx->creation_time;
    f.duration = ctx->duration;
    for (uint32_t slot = 0; slot < vrc_tool::track_count(*ctx); ++slot) f.tracks.push_back(summarize_track(*ctx, slot));
    return f;
}

const char *media_name(uint32_t kind)
{
    return kind == VRC_MEDIA_VIDEO ? "video" : kind == VRC_MEDIA_AUDIO ? "audio" : "other";
}

void print_text(std::FILE *out, const FileSummary &f)
{
    // A file that records no creation time says so instead of 1970.
    const std::string created = f.creation_time ? vrc_tool::utc_text(f.creation_time) + " UTC" : "at an unknown time";
    vrc_tool::print(out, "%s: MP4 (probe %d), %s mode, created %s, %u s\n", f.path.c_str(), f.probe, f.mode,
                    created.c_str(), f.duration);
    for (const TrackSummary &t : f.tracks) {
        if (t.kind == VRC_MEDIA_VIDEO) {
            std::fprintf(out, "  track %u: video %s %ux%u, %u frames (%u key)\n", t.slot, t.codec, t.width, t.height,
                         t.frames, t.key_frames);
        } else if (t.kind == VRC_MEDIA_AUDIO) {
            std::fprintf(out, "  track %u: audio %s %u Hz, %u channel%s, %u frames\n", t.slot, t.codec,
                         t.sample_rate, t.channels, t.channels == 1 ? "" : "s", t.frames);
        } else {
            std::fprintf(out, "  track %u: neither video nor audio, not read\n", t.slot);
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
    const std::string created = f.creation_time ? vrc_tool::json_quote(vrc_tool::utc_text(f.creation_time)) : "null";
    std::fprintf(out, ",\"mode\":\"%s\",\"creation_time\":%u,\"created\":%s,\"duration\":%u,\"tracks\":[", f.mode,
                 f.creation_time, created.c_str(), f.duration);
    for (size_t i = 0; i < f.tracks.size(); ++i) {
        const TrackSummary &t = f.tracks[i];
        std::fprintf(out, "%s{\"track\":%u,\"media\":\"%s\",\"codec\":\"%s\",\"creation_time\":%u,", i ? "," : "",
                     t.slot, media_name(t.kind), t.codec, t.creation_time);
        if (t.kind == VRC_MEDIA_VIDEO) {
            std::fprintf(out, "\"width\":%u,\"height\":%u,\"frames\":%u,\"key_frames\":%u}", t.width, t.height,
                         t.frames, t.key_frames);
        } else if (t.kind == VRC_MEDIA_AUDIO) {
            std::fprintf(out, "\"sample_rate\":%u,\"channels\":%u,\"frames\":%u}", t.sample_rate, t.channels,
                         t.frames);
        } else {
            std::fputs("\"frames\":0}", out);
        }
    }
    std::fputs("]}\n", out);
}

int run_info(int argc, char **argv)
{
    InfoArgs args;
    const int usage = parse_args(argc, argv, &args);
    if (usage != 0) return usage;
    std::FILE *out = vrc_tool::report_stream(args.verbose);
    int status = vrc_tool::kExitOk;
    for (const std::string &path : args.inputs) {
        const FileSummary f = summarize(path);
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
    "describe MP4 files as the reader sees them",
    "usage: recfile-convert info [--json] [--verbose] FILE...\n"
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
    "  --json             one JSON object per file and line: file, probe, mode,\n"
    "                     creation_time (seconds since 1970 UTC; 0: none),\n"
    "                     created (its text, or null),\n"
    "                     duration, tracks[] with track, media, codec,\n"
    "                     creation_time, width/height or sample_rate/channels,\n"
    "                     frames and key_frames; or file, probe and error. A\n"
    "                     name that is not UTF-8 shows U+FFFD for each stray\n"
    "                     byte and file_hex gives its bytes\n"
    "  -v, --verbose      show the library's own diagnostic lines\n",
    run_info,
};

}  // namespace vrc_tool
