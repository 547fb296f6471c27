// recfile-convert pack: builds a legacy recording from an H.264 Annex B
// stream and optional G.711 mu-law audio.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "legacy_record_packer.h"
#include "output_file.h"
#include "subcommand.h"

namespace {

constexpr const char *kName = "pack";

struct PackArgs {
    std::string video;
    std::string audio;
    std::string output;
    uint32_t fps = vrc_pack::kDefaultFps;
    uint32_t start = vrc_pack::kDefaultStart;
    uint32_t audio_delay = 0;  // ms
    vrc_pack::PackOptions options;
};

// Where an option's value goes: a text, or a number in the arguments or in
// the packer's options.
struct TextOption {
    const char *flag;
    std::string PackArgs::*field;
};

struct NumberOption {
    const char *flag;
    uint32_t PackArgs::*field;
    uint32_t vrc_pack::PackOptions::*option;
};

const TextOption kTextOptions[] = {
    {"--video", &PackArgs::video},
    {"--audio", &PackArgs::audio},
    {"-o", &PackArgs::output},
};

constexpr NumberOption kNumberOptions[] = {
    {"--fps", &PackArgs::fps, nullptr},
    {"--start", &PackArgs::start, nullptr},
    {"--audio-delay", &PackArgs::audio_delay, nullptr},
    {"--foreign-head", nullptr, &vrc_pack::PackOptions::foreign_head},
    {"--foreign-gap", nullptr, &vrc_pack::PackOptions::foreign_gap},
    {"--cut-last", nullptr, &vrc_pack::PackOptions::cut_last},
};

template <typename Option, size_t N>
const Option *find_option(const Option (&options)[N], const char *flag)
{
    for (const Option &option : options)
        if (std::strcmp(option.flag, flag) == 0) return &option;
    return nullptr;
}

uint32_t &number_field(PackArgs &args, const NumberOption &option)
{
    return option.field ? args.*option.field : args.options.*option.option;
}

std::string default_output(const std::string &video)
{
    const size_t slash = video.find_last_of("/\\");
    const size_t dot = video.find_last_of('.');
    const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (has_extension ? video.substr(0, dot) : video) + ".rec";
}

// 0 when the command line is complete, else the usage error's exit code.
int parse_args(int argc, char **argv, PackArgs *args)
{
    for (int i = 0; i < argc; ++i) {
        const char *flag = argv[i];
        if (std::strcmp(flag, "--alternate-magic") == 0) {
            args->options.alternate_magic = true;
            continue;
        }
        const TextOption *text = find_option(kTextOptions, flag);
        const NumberOption *number = find_option(kNumberOptions, flag);
        if (!text && !number) return vrc_tool::usage_error(kName, std::string("unknown option ") + flag);
        const char *value = vrc_tool::option_value(kName, argc, argv, &i);
        if (!value) return vrc_tool::kExitUsage;
        if (text) {
            args->*text->field = value;
        } else if (!vrc_tool::parse_u32(value, &number_field(*args, *number))) {
            return vrc_tool::usage_error(kName, std::string("not a whole number: ") + flag + " " + value);
        }
    }
    if (args->video.empty()) return vrc_tool::usage_error(kName, "--video is required");
    if (args->fps == 0) return vrc_tool::usage_error(kName, "--fps must be at least 1");
    if (args->output.empty()) args->output = default_output(args->video);
    return 0;
}

// An output that is an input, under any name, would be lost before it is read.
bool output_is_free(const PackArgs &args)
{
    std::vector<std::string> inputs{args.video};
    if (!args.audio.empty()) inputs.push_back(args.audio);
    const std::string clash = vrc_tool::output_clash(args.output, inputs, {});
    if (clash.empty()) return true;
    std::fprintf(stderr, "recfile-convert pack: %s\n", clash.c_str());
    return false;
}

bool read_input(const std::string &path, std::vector<uint8_t> *bytes)
{
    if (vrc_tool::read_whole_file(path, bytes)) return true;
    vrc_tool::print(stderr, "recfile-convert pack: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
}

bool has_video(const std::vector<vrc_pack::Frame> &frames)
{
    for (const vrc_pack::Frame &frame : frames)
        if (frame.type != vrc_pack::kTypeAudio) return true;
    return false;
}

void print_summary(const vrc_pack::PackedRecording &rec, const std::string &output)
{
    size_t video = 0, key = 0, audio = 0;
    for (const vrc_pack::PackedFrame &packed : rec.frames) {
        if (packed.frame.type == vrc_pack::kTypeAudio) {
            ++audio;
        } else {
            ++video;
            if (packed.frame.type == vrc_pack::kTypeVideoI) ++key;
        }
    }
    vrc_tool::print(stdout, "%s: %zu video frames (%zu key), %zu audio frames, %zu bytes\n", output.c_str(), video,
                    key, audio, rec.bytes.size());
}

int run_pack(int argc, char **argv)
{
    PackArgs args;
    const int usage = parse_args(argc, argv, &args);
    if (usage != 0) return usage;
    if (!output_is_free(args)) return vrc_tool::kExitFailure;
    std::vector<uint8_t> video, audio;
    if (!read_input(args.video, &video)) return vrc_tool::kExitFailure;
    if (!args.audio.empty() && !read_input(args.audio, &audio)) return vrc_tool::kExitFailure;
    const std::vector<vrc_pack::Frame> frames = vrc_pack::plan_frames(video, audio, args.fps, args.start, args.audio_delay);
    if (!has_video(frames)) {
        vrc_tool::print(stderr, "recfile-convert pack: no H.264 picture in %s\n", args.video.c_str());
        return vrc_tool::kExitFailure;
    }
    const vrc_pack::PackedRecording rec = vrc_pack::pack_recording(frames, args.options);
    std::string reason;
    if (!vrc_tool::write_whole_file(args.output, rec.bytes, &reason)) {
        vrc_tool::print(stderr, "recfile-convert pack: %s\n", reason.c_str());
        return vrc_tool::kExitFailure;
    }
    print_summary(rec, args.output);
    return vrc_tool::kExitOk;
}

}  // namespace

namespace vrc_tool {

const Subcommand kPackCommand = {
    kName,
    "pack an H.264 stream and mu-law audio into a legacy recording",
    "usage: recfile-convert pack --video V.h264 [--audio A.ul] [--fps N] [--start EPOCH]\n"
    "                           [--audio-delay MS] [-o OUT]\n"
    "\n"
    "Splits the H.264 Annex B stream V into pictures (a picture begins at a slice\n"
    "with first_mb_in_slice 0, together with the SPS, PPS, SEI and delimiter in\n"
    "front of it) and writes each as one frame: type 0xF0 when it holds an IDR\n"
    "slice, 0xF1 otherwise, stamped every 1000/N ms from 0. The 8000 Hz mono\n"
    "mu-law audio A goes in as 320-byte frames of 40 ms (type 0xFA), stamped\n"
    "every 40 ms from 0, interleaved in timestamp order.\n"
    "\n"
    "  --video V          H.264 Annex B input (required)\n"
    "  --audio A          raw G.711 mu-law input, 8000 Hz mono\n"
    "  --fps N            video frame rate (default 25)\n"
    "  --audio-delay MS   the audio starts MS milliseconds after the video\n"
    "  --start EPOCH      wall-clock time of timestamp 0, seconds since 1970 UTC\n"
    "                     (default 1704067200)\n"
    "  -o OUT             output recording (default: V with the extension .rec)\n"
    "\n"
    "Damaged recordings for testing readers:\n"
    "  --alternate-magic  use the header magic values 5656 and 5099 by turns\n"
    "  --foreign-head N   put N foreign bytes before the first frame\n"
    "  --foreign-gap N    put N foreign bytes between frames\n"
    "  --cut-last N       cut N bytes off the last payload (at least one stays)\n"
    "\n"
    "The output appears under its name only when complete, and never replaces an\n"
    "input, even under another name.\n"
    "\n"
    "Exit status: 0 written; 1 an input unreadable (a directory, say), the\n"
    "output an input or unwritable, with the reason on standard error; 2 bad\n"
    "command line.\n",
    run_pack,
};

}  // namespace vrc_tool
