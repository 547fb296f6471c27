// recfile-convert repair: a whole MP4 file from a recorder's MP4 file that a
// power cut or a pulled card left without moov, through the conversion's
// one path from its frame records to the muxer.
#include <cstdio>
#include <cstring>
#include <string>

#include "library_output.h"
#include "mp4_input.h"
#include "subcommand.h"
#include "vrc_convert.h"

namespace {

constexpr const char *kName = "repair";

struct RepairArgs : vrc_tool::OneFileArgs {
    std::string output;     // empty: FILE's name with .repaired.mp4
    std::string reference;  // empty: a recorder's file, read through its frame records
};

int parse_args(int argc, char **argv, RepairArgs *args)
{
    for (int i = 0; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "-o") == 0 || std::strcmp(arg, "--output") == 0) {
            const char *given = vrc_tool::option_value(kName, argc, argv, &i);
            if (!given) return vrc_tool::kExitUsage;
            args->output = given;
        } else if (std::strcmp(arg, "--reference") == 0) {
            const char *given = vrc_tool::option_value(kName, argc, argv, &i);
            if (!given) return vrc_tool::kExitUsage;
            args->reference = given;
        } else if (vrc_tool::take_one_file_arg(kName, arg, args) != 0) {
            return vrc_tool::kExitUsage;
        }
    }
    if (args->input.empty()) return vrc_tool::usage_error(kName, "no file given");
    if (args->output.empty()) {
        const size_t dot = args->input.rfind('.');
        const size_t slash = args->input.find_last_of("/\\");
        const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
        args->output = args->input.substr(0, has_ext ? dot : args->input.size()) + ".repaired.mp4";
    }
    return 0;
}

int fail(const RepairArgs &args, const std::string &reason)
{
    vrc_tool::print(stderr, "recfile-convert repair: %s: %s\n", args.input.c_str(), reason.c_str());
    return vrc_tool::kExitFailure;
}

// Why the file cannot be repaired from its records (or with a reference);
// empty when it can.
std::string unrepairable(const vrc_mp4_demuxer_t &ctx, const vrc_mp4_recovery_t &recovery, bool reference)
{
    if (reference && ctx.box_info.nr_tracks != 0) return "the file has its moov: nothing to repair (convert copies it)";
    if (reference) return std::string();
    if (!ctx.private_mode && ctx.box_info.nr_tracks == 0)
        return "no moov and no frame records (an MP4 file of another writer): its samples are told apart only "
               "with --reference GOOD.mp4, a whole file of the same camera";
    if (!ctx.private_mode) return "no frame records (an MP4 file of another writer) and a moov: nothing to repair";
    if (!recovery.no_moov) return "the recording has its moov: nothing to repair (convert copies it)";
    if (recovery.frames == 0) return "no whole frame behind its frame records";
    return std::string();
}

void print_report(std::FILE *out, const RepairArgs &args, const vrc_mp4_recovery_t &recovery,
                  const vrc_convert_result_t &result)
{
    if (args.json) {
        const std::string how = args.reference.empty() ? vrc_tool::recovery_json(recovery)
                                                       : vrc_tool::json_name("salvage", result.message) + ",";
        vrc_tool::print(out,
                        "{%s,%s,%s\"video_frames\":%u,\"audio_frames\":%u,\"frames_dropped\":%u,"
                        "\"bytes_written\":%llu}\n",
                        vrc_tool::json_name("file", args.input).c_str(),
                        vrc_tool::json_name("output", args.output).c_str(),
                        how.c_str(), result.video_frames, result.audio_frames,
                        result.frames_dropped, static_cast<unsigned long long>(result.bytes_written));
        return;
    }
    const std::string how = args.reference.empty() ? vrc_tool::recovery_text(recovery) : result.message;
    vrc_tool::print(out, "repaired %s -> %s (%llu bytes): %s; %u video and %u audio frames written, %u dropped\n",
                    args.input.c_str(), args.output.c_str(), static_cast<unsigned long long>(result.bytes_written),
                    how.c_str(), result.video_frames, result.audio_frames, result.frames_dropped);
}

int run_repair(int argc, char **argv)
{
    RepairArgs args;
    const int usage = parse_args(argc, argv, &args);
    if (usage != 0) return usage;
    std::FILE *out = vrc_tool::report_stream(args.verbose);
    std::string reason;
    vrc_mp4_recovery_t recovery{};
    {
        const vrc_tool::Demuxer ctx = vrc_tool::open_mp4_boxes(args.input, &reason);
        if (!ctx) return fail(args, reason);
        recovery = vrc_tool::recovery_of(*ctx);
        reason = unrepairable(*ctx, recovery, !args.reference.empty());
        if (!reason.empty()) return fail(args, reason);
    }
    const char *input = args.input.c_str();
    vrc_convert_job_t job{};
    job.size = sizeof job;
    job.inputs = &input;
    job.input_count = 1;
    job.output = args.output.c_str();
    job.options.flags = VRC_CONVERT_KEEP_EXISTING;  // neither the broken file nor any other is written over
    job.reference = args.reference.empty() ? nullptr : args.reference.c_str();
    // The library's lines go to standard output, which stays silenced unless --verbose.
    vrc_convert_result_t result{};
    if (vrc_convert_run(&job, &result) != 0) return fail(args, result.message);
    print_report(out, args, recovery, result);
    std::fflush(out);
    return vrc_tool::kExitOk;
}

}  // namespace

namespace vrc_tool {

const Subcommand kRepairCommand = {
    kName,
    "write a whole MP4 file from an MP4 file left without moov",
    "usage: recfile-convert repair [--reference GOOD.mp4] FILE [-o OUT.mp4] [--json] [--verbose]\n"
    "\n"
    "Writes a whole MP4 file from a recorder's MP4 FILE that a power cut or a\n"
    "pulled card left without its moov box: every whole frame, found through\n"
    "the frame record in front of it, with its time; the calendar time from\n"
    "the recording's track descriptions. A frame the file holds only in part\n"
    "is dropped and counted. FILE is only read; the output (FILE's name with\n"
    ".repaired.mp4 unless -o) must not exist, and appears only when complete.\n"
    "info, convert and extract read such a file as it is, too.\n"
    "\n"
    "With --reference, FILE is an ordinary MP4 file (a camera's, a phone's)\n"
    "without moov, and GOOD.mp4 a whole file of the same camera and settings:\n"
    "its H.264 parameter sets, frame rate and sound describe FILE's samples,\n"
    "which are found by their NAL units in FILE's mdat. mu-law sound between\n"
    "the pictures is recovered; AAC sound is not. The line says what was\n"
    "recovered and how many bytes were left unexplained.\n"
    "\n"
    "  --reference GOOD   a whole MP4 file of the same camera\n"
    "  -o, --output FILE  where the whole MP4 file goes\n"
    "  --json             report as one JSON object: file, output, no_moov,\n"
    "                     recovered_frames, cut_frames, video_frames,\n"
    "                     audio_frames, frames_dropped, bytes_written; with\n"
    "                     --reference salvage (the line's account) for\n"
    "                     no_moov to cut_frames\n"
    "  -v, --verbose      show the library's log lines\n"
    "\n"
    "Exit status: 0 written; 1 FILE cannot be repaired (no MP4, another\n"
    "writer's file without frame records, a whole recording, no whole frame,\n"
    "a reference without an H.264 track or frame rate)\n"
    "or the output exists or cannot be written; 2 bad command line.\n",
    run_repair,
};

}  // namespace vrc_tool
