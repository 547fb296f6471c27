// What the convert subcommand tells its user: a line per file and a summary
// (or JSON objects), failures with their reasons on standard error, the
// library's own lines under --verbose, and a progress line on a terminal.
// Every member may be called from any conversion thread.
#ifndef VRC_TOOLS_CONVERT_REPORT_H
#define VRC_TOOLS_CONVERT_REPORT_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "convert_plan.h"

namespace vrc_tool {

struct ReportStyle {
    bool quiet = false;         // failures only
    bool json = false;          // one JSON object per file and a summary on standard output
    bool progress = false;      // standard error is a terminal
    bool colour_out = false;    // colour on standard output
    bool colour_error = false;  // colour on standard error
};

// kAbandoned: cancelled cleanly because the run was stopped from outside.
enum class Status { kConverted, kSkipped, kFailed, kAbandoned };

struct Outcome {
    Status status = Status::kFailed;
    std::string reason;  // why it failed; when converted, what was left out (or empty)
    double seconds = 0;
    uint64_t bytes_written = 0;
    uint64_t video_frames = 0;
    uint64_t audio_frames = 0;
    uint64_t repaired_steps = 0;  // timestamp steps the conversion mended
    uint64_t skipped_bytes = 0;   // input bytes that held no frame
    bool remade_incomplete = false;  // -n found an output that was not a whole MP4 file
};

class Reporter {
  public:
    // out: the tool's own standard output. slots: conversions run at once.
    Reporter(const ReportStyle &style, std::FILE *out, const std::vector<Job> &jobs, size_t slots);

    // The conversion in slot has read bytes_done of its input.
    void progress(size_t slot, uint64_t bytes_done);
    void file_done(size_t slot, const Job &job, const Outcome &outcome);
    // A line the library printed while converting job (without its newline):
    // it goes to standard error whole, after the input's name.
    void library_line(const Job &job, const char *line);
    // The summary; for a run stopped from outside, also one line on
    // standard error that says by what and what was left undone.
    void summary();
    bool any_failed() const { return failed_ != 0; }
    // Whether a stop left work undone: a conversion abandoned, a file not
    // started, or a report that lost its reader. A signal that comes after
    // the last file was done (as a --faststart output is put in place)
    // stops nothing: the run's report and status stand.
    bool cut_short() const;

  private:
    void print_text(const Job &job, const Outcome &outcome);
    void print_json(const Job &job, const Outcome &outcome);
    void draw_progress(std::chrono::steady_clock::time_point now);
    void erase_progress();
    void flush_report();
    size_t not_started() const { return files_ - converted_ - skipped_ - failed_ - abandoned_; }

    const ReportStyle style_;
    std::FILE *const out_;
    const std::chrono::steady_clock::time_point start_;
    const size_t files_;
    uint64_t total_bytes_ = 0;
    std::mutex lock_;
    std::vector<uint64_t> in_flight_;  // bytes read per slot
    uint64_t finished_bytes_ = 0;      // input bytes of the files done
    size_t converted_ = 0, skipped_ = 0, failed_ = 0, abandoned_ = 0;
    uint64_t bytes_written_ = 0;
    int progress_width_ = 0;  // characters of the progress line shown; 0: none
    std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace vrc_tool

#endif
