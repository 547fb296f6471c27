// recfile-convert convert: converts legacy recordings into MP4 files, several
// at once on separate threads when asked.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "convert_choices.h"
#include "convert_plan.h"
#include "convert_report.h"
#include "process.h"
#include "subcommand.h"
#include "terminal.h"
#include "vrc_convert.h"
#include "vrc_media.h"
#include "vrc_mp4_demuxer.h"
#include "vrc_platform.h"
#include "vrc_uri_io.h"

namespace {

using vrc_tool::Job;
using vrc_tool::Outcome;
using vrc_tool::Status;

constexpr const char *kName = "convert";
constexpr uint32_t kMaxJobs = 64;
// Each conversion holds about 85 MB of address space (a muxer of 67 MB: the
// reservation of its frame table, 21 bytes for each of 3,000,000 frames, and
// a 4 MiB move block; the 16 MiB payload buffer and 1 MiB read and write
// blocks), and 76 MB more for an MP4 input's reader: a 32-bit process, with
// 2 GiB of address space, runs at most 10 at once (1.6 GB).
constexpr uint32_t kMaxJobs32Bit = 10;

struct ConvertArgs {
    std::vector<std::string> inputs;
    vrc_tool::NamingRules naming;
    uint32_t jobs = 1;
    bool verbose = false;
    bool quiet = false;
    bool json = false;
    bool overwrite = false;
    bool skip_existing = false;
    bool no_sync = false;
    bool faststart = false;
    bool web = false;  // --audio aac --faststart
    vrc_tool::TimeChoices time;
    vrc_tool::AudioChoice audio;
    bool bitrate_given = false;
};

bool is_flag(const char *arg, const char *short_flag, const char *long_flag)
{
    return (short_flag && std::strcmp(arg, short_flag) == 0) || std::strcmp(arg, long_flag) == 0;
}

bool *find_switch(ConvertArgs *args, const char *arg)
{
    const struct {
        const char *short_flag;
        const char *long_flag;
        bool *field;
    } switches[] = {
        {"-v", "--verbose", &args->verbose},
        {"-q", "--quiet", &args->quiet},
        {nullptr, "--json", &args->json},
        {"-y", "--overwrite", &args->overwrite},
        {"-n", "--skip-existing", &args->skip_existing},
        {"-r", "--recursive", &args->naming.recursive},
        {nullptr, "--keep-extension", &args->naming.keep_extension},
        {nullptr, "--no-sync", &args->no_sync},
        {nullptr, "--faststart", &args->faststart},
        {nullptr, "--web", &args->web},
        {nullptr, "--join", &args->time.join},
    };
    for (const auto &option : switches)
        if (is_flag(arg, option.short_flag, option.long_flag)) return option.field;
    return nullptr;
}

std::string *find_text_option(ConvertArgs *args, const char *arg)
{
    if (is_flag(arg, "-o", "--output")) return &args->naming.output_file;
    if (is_flag(arg, "-d", "--output-dir")) return &args->naming.output_dir;
    if (is_flag(arg, nullptr, "--ext")) return &args->naming.extension;
    return vrc_tool::time_option(&args->time, arg);
}

// A device or a pipe: written into, never replaced, and no place to put
// files beside (-o /dev/null reads the recordings as a test).
bool is_device(const std::string &path)
{
    vrc::FileIdentity found;
    return vrc::file_identity(path.c_str(), &found) && !found.regular && !found.directory;
}

// 0 when the options agree with each other, else the usage error's exit code.
int check_args(ConvertArgs *args)
{
    if (args->inputs.empty()) return vrc_tool::usage_error(kName, "no recording given");
    if (args->overwrite && args->skip_existing) return vrc_tool::usage_error(kName, "-y and -n exclude each other");
    const vrc_tool::NamingRules &naming = args->naming;
    if (!naming.output_file.empty() && !naming.output_dir.empty())
        return vrc_tool::usage_error(kName, "-o and -d exclude each other");
    const std::string time_error = vrc_tool::settle_choices(&args->time);
    if (!time_error.empty()) return vrc_tool::usage_error(kName, time_error);
    args->naming.segmented = args->time.segment_seconds != 0;
    if (args->naming.segmented && is_device(naming.output_file))
        return vrc_tool::usage_error(kName, "--segment writes its files beside -o's, and " + naming.output_file +
                                                " is a device; give -o a file's name or -d a directory");
    if (args->time.join && naming.output_file.empty()) return vrc_tool::usage_error(kName, "--join needs -o FILE");
    if (!naming.output_file.empty() && !args->time.join && (args->inputs.size() != 1 || naming.recursive))
        return vrc_tool::usage_error(kName, "-o names the output of one recording; -d DIR takes many");
    if (naming.extension.empty() || naming.extension[0] != '.') args->naming.extension.insert(0, ".");
    if (args->bitrate_given && !args->audio.aac && !args->web)
        return vrc_tool::usage_error(kName, "--audio-bitrate goes with --audio aac");
    return 0;
}

int parse_args(int argc, char **argv, ConvertArgs *args)
{
    bool options_end = false;
    for (int i = 0; i < argc; ++i) {
        const char *arg = argv[i];
        bool *on = nullptr;
        std::string *text = nullptr;
        if (options_end || arg[0] != '-' || arg[1] == '\0') {
            args->inputs.emplace_back(arg);
        } else if (std::strcmp(arg, "--") == 0) {
            options_end = true;
        } else if ((on = find_switch(args, arg))) {
            *on = true;
        } else if ((text = find_text_option(args, arg))) {
            const char *value = vrc_tool::option_value(kName, argc, argv, &i);
            if (!value) return vrc_tool::kExitUsage;
            *text = value;
        } else if (is_flag(arg, nullptr, "--audio")) {
            const char *value = vrc_tool::option_value(kName, argc, argv, &i);
            if (!value) return vrc_tool::kExitUsage;
            if (!vrc_tool::parse_audio(value, &args->audio))
                return vrc_tool::usage_error(kName, vrc_tool::refusal("--audio takes aac or copy", value));
        } else if (is_flag(arg, nullptr, "--audio-bitrate")) {
            const char *value = vrc_tool::option_value(kName, argc, argv, &i);
            if (!value) return vrc_tool::kExitUsage;
            if (!vrc_tool::parse_bitrate(value, &args->audio))
                return vrc_tool::usage_error(
                    kName, vrc_tool::refusal("--audio-bitrate needs bits per second, as 32000 or 32k", value));
            if (args->audio.bitrate < VRC_CONVERT_AAC_MIN_BITRATE || args->audio.bitrate > VRC_CONVERT_AAC_MAX_BITRATE)
                return vrc_tool::usage_error(
                    kName, vrc_tool::refusal("--audio-bitrate takes 8000 to 48000 bits per second", value));
            args->bitrate_given = true;
        } else if (is_flag(arg, "-j", "--jobs")) {
            const char *value = vrc_tool::option_value(kName, argc, argv, &i);
            if (!value) return vrc_tool::kExitUsage;
            if (!vrc_tool::parse_u32(value, &args->jobs) || args->jobs == 0)
                return vrc_tool::usage_error(
                    kName, vrc_tool::refusal("-j needs a number of files to convert at once", value));
        } else {
            return vrc_tool::usage_error(kName, std::string("unknown option ") + arg);
        }
    }
    return check_args(args);
}

uint32_t threads_for(uint32_t asked, size_t files)
{
    const uint32_t max_jobs = sizeof(void *) == 4 ? kMaxJobs32Bit : kMaxJobs;
    if (asked > max_jobs)
        std::fprintf(stderr, "%s: -j %u is more than this %d-bit build can hold in memory; converting %u at once\n",
                     kName, asked, static_cast<int>(sizeof(void *) * 8), max_jobs);
    return std::max<uint32_t>(1, std::min({asked, max_jobs, static_cast<uint32_t>(files)}));
}

bool shows_colour(std::FILE *stream)
{
    const char *no_colour = std::getenv("NO_COLOR");
    return (!no_colour || !*no_colour) && vrc_tool::is_terminal(stream) && vrc_tool::enable_colour_codes(stream);
}

vrc_tool::ReportStyle report_style(const ConvertArgs &args)
{
    vrc_tool::ReportStyle style;
    style.quiet = args.quiet;
    style.json = args.json;
    style.progress = !args.quiet && vrc_tool::is_terminal(stderr);
    style.colour_out = !args.json && shows_colour(stdout);
    style.colour_error = shows_colour(stderr);
    return style;
}

// One conversion on a worker thread: what the library's callbacks need.
struct Conversion {
    const Job *job;
    size_t slot;
    vrc_tool::Reporter *reporter;
    std::vector<std::string> outputs{};  // the names of the outputs made (or listed), in order
    size_t kept = 0;                     // of them, those -n found whole and kept as they were
};

// The library calls these two: no exception may pass back through it, and a
// line or a progress update that cannot be printed is not worth a failure.
extern "C" int report_progress(void *user, uint64_t done, uint64_t)
{
    const Conversion *conversion = static_cast<const Conversion *>(user);
    try {
        conversion->reporter->progress(conversion->slot, done);
    } catch (const std::exception &) {
    }
    // Stopped from outside: conversions under way are cancelled (their
    // outputs are never left half written) and no new one starts.
    return vrc_tool::stop_signal() != 0 ? 1 : 0;
}

extern "C" int stop_requested(void *, uint64_t, uint64_t)
{
    return vrc_tool::stop_signal() != 0 ? 1 : 0;
}

// The library marks the end of every recording with two lines that read as
// failures; hosts match them as they stand, so only the command rewords them.
static_assert(VRC_ERR_OLDREC_EOF == -90113, "the end-of-recording line below carries this code");
const struct {
    const char *line_end;
    const char *shown;  // null: not shown
} kNormalEndLines[] = {
    {"]read error! ret: 0", nullptr},  // the DEBUG line at the end of the file
    {"read demuxer failed!, ret = -90113", "end of the recording: every frame read"},
};

const char *as_shown(const char *line)
{
    const size_t length = std::strlen(line);
    for (const auto &end : kNormalEndLines) {
        const size_t n = std::strlen(end.line_end);
        if (length >= n && std::strcmp(line + length - n, end.line_end) == 0) return end.shown;
    }
    return line;
}

extern "C" void show_library_line(void *user, const char *line)
{
    const Conversion *conversion = static_cast<const Conversion *>(user);
    line = as_shown(line);
    if (!line) return;
    try {
        conversion->reporter->library_line(*conversion->job, line);
    } catch (const std::exception &) {
    }
}

extern "C" void drop_library_line(void *, const char *) {}

extern "C" void note_output(void *user, const char *path, const vrc_convert_result_t *result)
{
    Conversion *conversion = static_cast<Conversion *>(user);
    try {
        conversion->outputs.emplace_back(path);
        conversion->kept += result->video_frames + result->audio_frames == 0;
    } catch (const std::exception &) {
    }
}

Outcome failure(std::string reason)
{
    Outcome outcome;
    outcome.reason = std::move(reason);
    return outcome;
}

Outcome skipped()
{
    Outcome outcome;
    outcome.status = Status::kSkipped;
    return outcome;
}

std::string exists_reason(const std::string &output)
{
    return "the output " + output + " exists (-y replaces it, -n skips it)";
}

Outcome from_library(int rc, const vrc_convert_result_t &result, const ConvertArgs &args)
{
    if (rc == VRC_CONVERT_ERR_EXISTS)  // another run made it in the meantime
        return args.skip_existing ? skipped() : failure(std::string(result.message) + " (-y replaces it, -n skips it)");
    Outcome outcome;
    if (rc == VRC_CONVERT_ERR_RANGE) {  // a recording outside the range is no failure of the run
        outcome.status = Status::kSkipped;
        outcome.reason = result.message;
        return outcome;
    }
    const bool stopped = rc == VRC_CONVERT_ERR_CANCELLED && vrc_tool::stop_signal() != 0;
    if (stopped) outcome.status = Status::kAbandoned;  // the outputs made before the stop are counted
    if (rc == 0) outcome.status = Status::kConverted;
    if (!stopped)
        outcome.reason =
            rc == 0 || result.message[0] ? result.message : "conversion failed (" + std::to_string(rc) + ")";
    outcome.bytes_written = result.bytes_written;
    outcome.video_frames = result.video_frames;
    outcome.audio_frames = result.audio_frames;
    outcome.repaired_steps = uint64_t{result.video_steps_repaired} + result.audio_steps_repaired;
    outcome.skipped_bytes = result.bytes_skipped;
    return outcome;
}

// One recording, a range of it, its segments or a join, through the job
// record; the segments' names follow the pattern beside the planned output.
int run_record(const Job &job, const ConvertArgs &args, const vrc_convert_options_t &options,
               vrc_convert_result_t *result)
{
    const std::string output =
        args.time.segment_seconds != 0 ? vrc_tool::segment_pattern(args.time, job.output) : job.output;
    std::vector<const char *> inputs;
    for (const std::string &part : job.parts) inputs.push_back(part.c_str());
    if (inputs.empty()) inputs.push_back(job.input.c_str());
    vrc_convert_job_t record = vrc_tool::job_record(args.time, inputs.data(), static_cast<uint32_t>(inputs.size()),
                                                    output.c_str(), options);
    record.output_done = note_output;
    record.audio_bitrate = args.audio.bitrate;
    return vrc_convert_run(&record, result);
}

// A segmented job's line names its segments ("3 segments: a to c") and how
// many -n kept as they were; one whose segments were all there whole is
// skipped, and one stopped names those it made, which a rerun with -n keeps.
void describe_segments(const Conversion &made, Outcome *outcome)
{
    const std::vector<std::string> &outputs = made.outputs;
    const bool stopped = outcome->status == Status::kAbandoned;
    if (outputs.empty() || (outcome->status != Status::kConverted && !stopped)) return;
    if (made.kept == outputs.size() && !stopped) {
        outcome->status = Status::kSkipped;
        return;
    }
    std::string text = std::to_string(outputs.size()) + (outputs.size() == 1 ? " segment: " : " segments: ") +
                       outputs.front() + (outputs.size() > 1 ? " to " + outputs.back() : "");
    if (made.kept != 0) text += " (" + std::to_string(made.kept) + " kept as they were)";
    outcome->reason += (outcome->reason.empty() ? "" : ", ") + text;
}

// The names of a segmented job's outputs, read from its inputs as the
// conversion reads them, before any output of the run is written: a job
// whose pattern names two of its segments alike, whose input cannot be read
// or, without -y or -n, one of whose outputs exists fails here.
void list_segments(Job *job, const ConvertArgs &args)
{
    if (!job->problem.empty()) return;
    Conversion listing{job, 0, nullptr};
    vrc_convert_options_t options{};
    options.progress = stop_requested;
    options.user = &listing;
    options.flags = VRC_CONVERT_NAMES_ONLY;
    options.line = drop_library_line;
    vrc_convert_result_t result{};
    const int rc = run_record(*job, args, options, &result);
    if (rc != 0 && rc != VRC_CONVERT_ERR_RANGE && vrc_tool::stop_signal() == 0)
        job->problem = from_library(rc, result, args).reason;
    job->segments = std::move(listing.outputs);
    for (size_t i = 0; job->problem.empty() && !args.overwrite && !args.skip_existing && i < job->segments.size(); ++i)
        if (vrc::file_exists(job->segments[i].c_str())) job->problem = exists_reason(job->segments[i]);
}

// --join: the recordings given, and those found under directories as -r
// finds them, make one job for the one output.
std::vector<Job> plan_join(const ConvertArgs &args)
{
    vrc_tool::NamingRules rules = args.naming;
    rules.output_file.clear();
    rules.output_dir.clear();
    rules.keep_extension = true;  // a part's own output name is never used: it must only not be the part
    rules.recursive = true;
    Job joined;
    joined.output = args.naming.output_file;
    for (const Job &part : vrc_tool::plan_jobs(args.inputs, rules)) {
        if (!part.problem.empty() && joined.problem.empty()) joined.problem = part.input + ": " + part.problem;
        joined.parts.push_back(part.input);
        joined.input_bytes += part.input_bytes;
    }
    joined.input = joined.parts.front();
    if (joined.parts.size() > 1) joined.input += " and " + std::to_string(joined.parts.size() - 1) + " more";
    return {joined};
}

struct Tally {
    std::atomic<size_t> converted{0};
    std::atomic<size_t> outside{0};  // recordings outside the time range
};

// Whether -n finds one of these outputs cut or empty.
bool any_incomplete(const std::vector<std::string> &outputs)
{
    for (const std::string &output : outputs)
        if (vrc::file_exists(output.c_str()) && vrc_mp4_demuxer_check_complete(output.c_str()) == 0) return true;
    return false;
}

// Without -y the library claims the output name only if it is still free
// when the file is complete, so that two runs never replace each other's
// work. -n remakes an output that is not a whole MP4 file (a power cut or a
// full disk under another program, or under an earlier version that wrote
// in place): skipping it would keep it broken for good. Of segments, -n
// keeps the whole ones and the library makes the others.
uint32_t existing_output_flags(const ConvertArgs &args, bool remake)
{
    if (args.overwrite) return 0;
    if (args.skip_existing && args.time.segment_seconds != 0) return VRC_CONVERT_KEEP_WHOLE;
    return remake ? 0 : VRC_CONVERT_KEEP_EXISTING;
}

Outcome convert_job(Conversion *conversion, const ConvertArgs &args)
{
    const Job &job = *conversion->job;
    if (!job.problem.empty()) return failure(job.problem);
    const bool segmented = args.time.segment_seconds != 0;
    bool remake = segmented && args.skip_existing && any_incomplete(job.segments);
    if (!args.overwrite && !segmented && vrc::file_exists(job.output.c_str()) && !is_device(job.output)) {
        if (!args.skip_existing) return failure(exists_reason(job.output));
        remake = vrc_mp4_demuxer_check_complete(job.output.c_str()) == 0;
        if (!remake) return skipped();
    }
    const std::filesystem::path directory = vrc_tool::path_of(job.output).parent_path();
    std::string reason;
    if (!directory.empty() && !vrc_tool::make_directories(directory, &reason))
        return failure("cannot create " + vrc_tool::name_of(directory) + ": " + reason);

    vrc_convert_options_t options{};
    options.progress = report_progress;
    options.user = conversion;
    options.flags = existing_output_flags(args, remake);
    if (args.no_sync) options.flags |= VRC_CONVERT_NO_SYNC;
    if (args.faststart || args.web) options.flags |= VRC_CONVERT_FASTSTART;
    if (args.audio.aac || args.web) options.flags |= VRC_CONVERT_AUDIO_AAC;
    options.line = args.verbose ? show_library_line : drop_library_line;
    vrc_convert_result_t result{};
    const int rc = run_record(job, args, options, &result);
    Outcome outcome = from_library(rc, result, args);
    if (segmented) describe_segments(*conversion, &outcome);
    outcome.remade_incomplete = remake;
    return outcome;
}

Outcome timed_conversion(Conversion *conversion, const ConvertArgs &args)
{
    const auto start = std::chrono::steady_clock::now();
    Outcome outcome;
    try {
        outcome = convert_job(conversion, args);
    } catch (const std::exception &error) {  // out of memory for a name, say: this file fails, not the run
        outcome = failure(error.what());
    }
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return outcome;
}

// Runs work(slot, i) for every i below count on up to threads threads: each
// takes the next i until none is left or the run is stopped.
void share_out(size_t count, uint32_t threads, const std::function<void(size_t, size_t)> &work)
{
    std::atomic<size_t> next{0};
    auto worker = [&](size_t slot) {
        vrc_uri_io_set_path_encoding(VRC_PATH_ENCODING_UTF8);  // the library's setting is per thread
        for (size_t i; vrc_tool::stop_signal() == 0 && (i = next.fetch_add(1)) < count;) work(slot, i);
    };
    std::vector<std::thread> started;
    try {
        for (uint32_t slot = 1; slot < threads; ++slot) started.emplace_back(worker, slot);
    } catch (const std::system_error &) {
        // Out of threads or memory: the workers already started take every file.
    }
    worker(0);
    for (std::thread &thread : started) thread.join();
}

void convert_all(const std::vector<Job> &jobs, const ConvertArgs &args, uint32_t threads,
                 vrc_tool::Reporter *reporter, Tally *tally)
{
    share_out(jobs.size(), threads, [&](size_t slot, size_t i) {
        Conversion conversion{&jobs[i], slot, reporter};
        const Outcome outcome = timed_conversion(&conversion, args);
        tally->converted += outcome.status == Status::kConverted;
        tally->outside += outcome.status == Status::kSkipped && !outcome.reason.empty();
        reporter->file_done(slot, jobs[i], outcome);
    });
}

// Every segment name of the run is known, and every clash found, before the
// first output is written: a pattern that gives several recordings' segments
// one name would otherwise leave only the last of them.
void list_all_segments(std::vector<Job> *jobs, const ConvertArgs &args, uint32_t threads)
{
    share_out(jobs->size(), threads, [&](size_t, size_t i) {
        try {
            list_segments(&(*jobs)[i], args);
        } catch (const std::exception &error) {  // out of memory for a name: this file fails, not the run
            (*jobs)[i].problem = error.what();
        }
    });
    vrc_tool::claim_segment_names(jobs);
}

int run_convert(int argc, char **argv)
{
    ConvertArgs args;
    const int usage = parse_args(argc, argv, &args);
    if (usage != 0) return usage;
    std::vector<Job> jobs = args.time.join ? plan_join(args) : vrc_tool::plan_jobs(args.inputs, args.naming);
    const uint32_t threads = threads_for(args.jobs, jobs.size());
    vrc_tool::catch_stop_signals();
    if (args.time.segment_seconds != 0) list_all_segments(&jobs, args, threads);
    vrc_tool::Reporter reporter(report_style(args), stdout, jobs, threads);
    Tally tally;
    convert_all(jobs, args, threads, &reporter, &tally);
    reporter.summary();
    if (reporter.cut_short()) return vrc_tool::kExitStoppedBase + vrc_tool::stop_signal();
    if (reporter.any_failed()) return vrc_tool::kExitFailure;
    return tally.converted == 0 && tally.outside != 0 ? vrc_tool::kExitNoSuchTime : vrc_tool::kExitOk;
}

}  // namespace

namespace vrc_tool {

// Hosts and scripts read this text: the exit status table stays in step with
// subcommand.h.
const Subcommand kConvertCommand = {
    kName,
    "convert legacy recordings into MP4 files (also: recfile-convert FILE...)",
    "usage: recfile-convert convert [options] [--] FILE|DIR...\n"
    "       recfile-convert [options] FILE...\n"
    "\n"
    "Converts each legacy recording FILE into an MP4 file with one H.264 video\n"
    "track and one 8000 Hz G.711 mu-law audio track: cam1.rec becomes cam1.mp4\n"
    "beside it. An output is written under a temporary name and appears under\n"
    "its own name only when complete and on the disk, so an interrupted run or\n"
    "a power cut leaves no partial file and a re-run with -n picks up where it\n"
    "stopped. An MP4 file that this program reads (a converted one) is taken\n"
    "too: to cut it by time, or to make it a file to share with --web.\n"
    "\n"
    "  -o, --output FILE     the output of the one recording given; -o /dev/null\n"
    "                        converts and writes nothing, to test the reading\n"
    "  -d, --output-dir DIR  write the outputs under DIR (made when missing)\n"
    "  --keep-extension      name outputs cam1.rec.mp4 instead of cam1.mp4\n"
    "  --audio copy|aac      copy: the recorder's mu-law byte for byte (default);\n"
    "                        aac: re-encoded as AAC-LC, which every browser and\n"
    "                        phone plays\n"
    "  --audio-bitrate N     bits per second of AAC audio, as 32000 or 32k (8000\n"
    "                        to 48000, else a usage error; default 32k)\n"
    "  -y, --overwrite       replace existing outputs\n"
    "  -n, --skip-existing   skip recordings whose output is a whole MP4 file,\n"
    "                        quietly; an incomplete one is made again; of\n"
    "                        segments, the whole ones are kept, the rest made\n"
    "  --no-sync             leave outputs in the system's cache (scratch runs:\n"
    "                        after a power cut they may be empty or cut)\n"
    "  --faststart           moov in front of the media data: the file plays while\n"
    "                        it downloads, from any web server (costs one more\n"
    "                        read and write of the output, in the system's cache)\n"
    "  --web                 for sharing (web servers, browsers, phones): the same\n"
    "                        as --audio aac --faststart; the audio is re-encoded,\n"
    "                        so only outputs made without it keep the recorder's\n"
    "                        sound byte for byte, as evidence needs\n"
    "  -r, --recursive       convert the recordings under each DIR; -d gets the\n"
    "                        tree below DIR (links to directories are not followed)\n"
    "  --ext EXT             extension of the recordings -r picks (default .rec)\n"
    "  -j, --jobs N          convert N files at once, each on its own thread (at\n"
    "                        most 64, or 10 in a 32-bit build)\n"
    "  -q, --quiet           print failures only\n"
    "  --json                JSON Lines: one object per file and line, then a\n"
    "                        summary object; in a name that is not UTF-8 each\n"
    "                        stray byte shows as U+FFFD and input_hex/output_hex\n"
    "                        give its bytes\n"
    "  -v, --verbose         the library's lines on standard error, each after\n"
    "                        its file's name\n"
    "  --version             print the version\n"
    "  -h, --help            print this help\n"
    "  --                    what follows are file names\n"
    "\n"
    "By time (the video is never re-encoded):\n"
    "  --from TIME           only from TIME on: \"YYYY-MM-DD HH:MM:SS\", milliseconds\n"
    "                        if wanted (\".960\"), then a zone such as +08:00, or\n"
    "                        UTC; video from the key frame before it, and\n"
    "                        players start at TIME exactly\n"
    "  --to TIME             only up to TIME\n"
    "  --for DURATION        with --from, instead of --to: 90s, 10m, 1h\n"
    "  --segment DURATION    a new output at the first key frame at or after each\n"
    "                        multiple of DURATION on the calendar clock\n"
    "  --name PATTERN        segment names beside the output: %Y %m %d %H %M %S\n"
    "                        take each one's start (default: the output's name\n"
    "                        with -%Y%m%d-%H%M%S before its extension); every\n"
    "                        name is listed before the first output is written,\n"
    "                        and a name two segments share fails the later one's\n"
    "                        recording\n"
    "  --zone +HH:MM         zone of the segment grid and the names (default UTC)\n"
    "  --join                one output (-o) of all the recordings given or found\n"
    "                        under DIRs, in time order, pauses kept, pictures\n"
    "                        that change described each; sound that differs,\n"
    "                        or times that overlap, fail, naming the recording\n"
    "                        that does not fit\n"
    "A recording with no frame in the range is skipped with its span.\n"
    "\n"
    "Prints a line per converted file (with the damaged bytes skipped, the\n"
    "timestamps repaired, and the part of a recording that grew while it was\n"
    "converted left out) and a summary on standard output, each\n"
    "failure with its reason on standard error, and a progress line when\n"
    "standard error is a terminal. Colour only on a terminal, never with\n"
    "NO_COLOR set. Ctrl-C, SIGTERM, SIGHUP and a closed standard output (| head)\n"
    "stop the run: conversions under way are abandoned cleanly, no new one\n"
    "starts, and one line on standard error says so; a segmented conversion\n"
    "stopped names the segments it finished (a rerun with -n keeps them).\n"
    "\n"
    "An output that is a directory fails, with -y or -n too; so does a DIR under\n"
    "which -r finds no recording.\n"
    "\n"
    "Recordings and outputs of any size and length are converted (past 4 GiB\n"
    "with 64-bit chunk offsets); an output holds up to 67108864 frames (3000000\n"
    "in a 32-bit build). A recording past that fails, naming the limit.\n"
    "\n"
    "Exit status: 0 every file converted or skipped; 1 a file failed; 2 bad\n"
    "command line; 3 no recording overlaps --from/--to; 128 + the signal\n"
    "when stopped: 129 SIGHUP, 130 Ctrl-C, 141 standard output closed, 143\n"
    "SIGTERM (a signal that comes once every file is done stops nothing).\n",
    run_convert,
};

}  // namespace vrc_tool
