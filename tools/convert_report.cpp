#include "convert_report.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "process.h"
#include "subcommand.h"

namespace vrc_tool {
namespace {

constexpr const char *kGreen = "\x1b[32m";
constexpr const char *kRed = "\x1b[31m";
constexpr const char *kReset = "\x1b[0m";
constexpr std::chrono::milliseconds kRedrawEvery{250};

const char *paint(bool colour, const char *code)
{
    return colour ? code : "";
}

const char *status_name(Status status)
{
    switch (status) {
    case Status::kConverted: return "converted";
    case Status::kSkipped: return "skipped";
    case Status::kAbandoned: return "stopped";
    default: return "failed";
    }
}

std::string human_bytes(double bytes)
{
    static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    for (; bytes >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]; ++unit) bytes /= 1024;
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

// "1 file", "2 files".
std::string counted(size_t n, const char *noun)
{
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string clock_time(double seconds)
{
    const uint64_t whole = static_cast<uint64_t>(seconds + 0.5);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%" PRIu64 ":%02u:%02u", whole / 3600, static_cast<unsigned>(whole / 60 % 60),
                      static_cast<unsigned>(whole % 60));
    else
        std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(whole / 60), static_cast<unsigned>(whole % 60));
    return text;
}

// Colour codes of the library's log lines, for streams that take no colour.
std::string without_colour(const std::string &line)
{
    std::string plain;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
            i = line.find('m', i);
            if (i == std::string::npos) break;
        } else {
            plain += line[i];
        }
    }
    return plain;
}

}  // namespace

Reporter::Reporter(const ReportStyle &style, std::FILE *out, const std::vector<Job> &jobs, size_t slots)
    : style_(style), out_(out), start_(std::chrono::steady_clock::now()), files_(jobs.size()), in_flight_(slots)
{
    for (const Job &job : jobs) total_bytes_ += job.input_bytes;
}

void Reporter::progress(size_t slot, uint64_t bytes_done)
{
    if (!style_.progress) return;
    std::lock_guard<std::mutex> guard(lock_);
    in_flight_[slot] = bytes_done;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_draw_ >= kRedrawEvery) draw_progress(now);
}

void Reporter::file_done(size_t slot, const Job &job, const Outcome &outcome)
{
    std::lock_guard<std::mutex> guard(lock_);
    in_flight_[slot] = 0;
    finished_bytes_ += job.input_bytes;
    bytes_written_ += outcome.bytes_written;
    ++(outcome.status == Status::kConverted ? converted_
       : outcome.status == Status::kSkipped ? skipped_
       : outcome.status == Status::kFailed  ? failed_
                                            : abandoned_);
    // The run's one stop line tells, unless the conversion made outputs (segments) before the stop.
    if (outcome.status == Status::kAbandoned && outcome.reason.empty()) return;
    erase_progress();
    if (outcome.status == Status::kFailed)
        print(stderr, "%sFAILED%s  %s: %s\n", paint(style_.colour_error, kRed),
              paint(style_.colour_error, kReset), job.input.c_str(), outcome.reason.c_str());
    if (style_.json) print_json(job, outcome);
    else if (!style_.quiet) print_text(job, outcome);
    flush_report();
    if (style_.progress) draw_progress(std::chrono::steady_clock::now());
}

void Reporter::library_line(const Job &job, const char *line)
{
    std::lock_guard<std::mutex> guard(lock_);
    erase_progress();
    if (style_.colour_error) print(stderr, "%s: %s%s\n", job.input.c_str(), line, kReset);
    else print(stderr, "%s: %s\n", job.input.c_str(), without_colour(line).c_str());
    std::fflush(stderr);
}

void Reporter::summary()
{
    std::lock_guard<std::mutex> guard(lock_);
    erase_progress();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (style_.json)
        std::fprintf(out_,
                     "{\"type\":\"summary\",\"converted\":%zu,\"skipped\":%zu,\"failed\":%zu,"
                     "\"bytes_written\":%" PRIu64 ",\"seconds\":%.3f}\n",
                     converted_, skipped_, failed_, bytes_written_, seconds);
    else if (!style_.quiet)
        std::fprintf(out_, "%zu converted, %zu skipped, %zu failed, %" PRIu64 " bytes written in %.3f s\n",
                     converted_, skipped_, failed_, bytes_written_, seconds);
    flush_report();
    if (!cut_short()) return;
    std::fprintf(stderr, "recfile-convert: stopped by %s: %s under way abandoned, %s not started\n",
                 signal_name(stop_signal()), counted(abandoned_, "conversion").c_str(),
                 counted(not_started(), "file").c_str());
    std::fflush(stderr);
}

bool Reporter::cut_short() const
{
    const int signal = stop_signal();
    return signal != 0 && (abandoned_ != 0 || not_started() != 0 || signal == kBrokenPipeSignal);
}

// A reader of the report that went away (| head) stops the run as a signal
// would: the conversions under way are of no use to anyone.
void Reporter::flush_report()
{
    if ((std::fflush(out_) != 0 || std::ferror(out_)) && errno == EPIPE) request_stop(kBrokenPipeSignal);
}

void Reporter::print_text(const Job &job, const Outcome &outcome)
{
    if (outcome.status == Status::kSkipped && !outcome.reason.empty() && !style_.quiet)
        print(out_, "skipped %s (%s)\n", job.input.c_str(), outcome.reason.c_str());
    if (outcome.status != Status::kConverted && outcome.status != Status::kAbandoned) return;
    const bool ok = outcome.status == Status::kConverted;
    const char *word = ok ? "ok" : "stopped";
    print(out_, "%s%s%s%*s%s -> %s (%" PRIu64 " bytes, %.3f s", paint(style_.colour_out && ok, kGreen), word,
          paint(style_.colour_out && ok, kReset), static_cast<int>(8 - std::strlen(word)), "", job.input.c_str(),
          job.output.c_str(), outcome.bytes_written, outcome.seconds);
    if (outcome.repaired_steps) std::fprintf(out_, ", %" PRIu64 " timestamps repaired", outcome.repaired_steps);
    if (outcome.skipped_bytes) std::fprintf(out_, ", %" PRIu64 " damaged bytes skipped", outcome.skipped_bytes);
    if (outcome.remade_incomplete) std::fputs(", replaced an incomplete output", out_);
    if (!outcome.reason.empty()) std::fprintf(out_, ", %s", outcome.reason.c_str());
    std::fputs(")\n", out_);
}

void Reporter::print_json(const Job &job, const Outcome &outcome)
{
    print(out_, "{\"type\":\"file\",%s,%s,\"status\":\"%s\"", json_name("input", job.input).c_str(),
          json_name("output", job.output).c_str(), status_name(outcome.status));
    if (!outcome.reason.empty()) print(out_, ",\"reason\":%s", json_quote(outcome.reason).c_str());
    std::fprintf(out_,
                 ",\"seconds\":%.3f,\"bytes_written\":%" PRIu64 ",\"video_frames\":%" PRIu64
                 ",\"audio_frames\":%" PRIu64 ",\"repaired_steps\":%" PRIu64 ",\"skipped_bytes\":%" PRIu64
                 ",\"remade_incomplete\":%s}\n",
                 outcome.seconds, outcome.bytes_written, outcome.video_frames, outcome.audio_frames,
                 outcome.repaired_steps, outcome.skipped_bytes, outcome.remade_incomplete ? "true" : "false");
}

// "3/10 files, 1.2 GiB of 4.0 GiB, 85.3 MiB/s, 0:32 left" on standard error,
// redrawn in place.
void Reporter::draw_progress(std::chrono::steady_clock::time_point now)
{
    last_draw_ = now;
    uint64_t done = finished_bytes_;
    for (const uint64_t bytes : in_flight_) done += bytes;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? done / seconds : 0;
    const std::string left = rate > 0 && total_bytes_ >= done ? clock_time((total_bytes_ - done) / rate) : "?";
    char line[160];
    const int width = std::snprintf(line, sizeof line, "%zu/%zu files, %s of %s, %s/s, %s left",
                                    converted_ + skipped_ + failed_, files_,
                                    human_bytes(static_cast<double>(done)).c_str(),
                                    human_bytes(static_cast<double>(total_bytes_)).c_str(),
                                    human_bytes(rate).c_str(), left.c_str());
    // Spaces cover what is left of a longer line before: not every console
    // acts on the escape code that erases a line.
    std::fprintf(stderr, "\r%s%*s", line, std::max(0, progress_width_ - width), "");
    std::fflush(stderr);
    progress_width_ = std::max(progress_width_, width);
}

void Reporter::erase_progress()
{
    if (progress_width_ == 0) return;
    std::fprintf(stderr, "\r%*s\r", progress_width_, "");
    progress_width_ = 0;
}

}  // namespace vrc_tool
