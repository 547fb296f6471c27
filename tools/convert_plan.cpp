#include "convert_plan.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <system_error>

#include "subcommand.h"
#include "vrc_platform.h"

namespace vrc_tool {
namespace {

namespace fs = std::filesystem;

// Archives copied from Windows machines spell the extension either way.
bool has_extension(const fs::path &file, const std::string &wanted)
{
    const std::string extension = name_of(file.extension());
    return std::equal(extension.begin(), extension.end(), wanted.begin(), wanted.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

fs::path output_name(const fs::path &input, bool keep_extension)
{
    fs::path name = input.filename();
    if (keep_extension) return name += ".mp4";
    return name.replace_extension(".mp4");
}

// The one spelling of an output's path that two runs' names are compared in.
std::string output_key(const std::string &output)
{
    std::error_code ec;
    return name_of(fs::absolute(path_of(output), ec).lexically_normal());
}

// Builds the job list; every output name is handed out once.
class Planner {
  public:
    explicit Planner(const NamingRules &rules) : rules_(rules) {}

    void add_argument(const std::string &argument)
    {
        const fs::path path = path_of(argument);
        vrc::FileIdentity found;
        const bool directory =
            vrc::file_identity(argument.c_str(), &found) && found.directory;
        if (!directory) return add_file(path, path.filename());
        if (!rules_.recursive) return add_problem(path, "is a directory (-r converts the recordings under it)");
        const size_t before = jobs_.size();
        walk(path, fs::path());
        // A mistyped --ext finds nothing: say so rather than report a run that did nothing.
        if (jobs_.size() == before)
            add_problem(path, "no recording named *" + rules_.extension + " under it (see --ext)");
    }

    std::vector<Job> take() { return std::move(jobs_); }

  private:
    // below: where directory lies under the one given. Name order, so that
    // runs and their reports repeat. Links to directories are not followed:
    // they could lead round in a circle. A directory that cannot be read to
    // its end fails with the reason rather than being passed over.
    void walk(const fs::path &directory, const fs::path &below)
    {
        std::vector<vrc::DirectoryEntry> entries;
        if (!vrc::directory_list(name_of(directory).c_str(), &entries))
            add_problem(directory, std::string("cannot read the directory: ") + vrc::file_error_text());
        std::sort(entries.begin(), entries.end(),
                  [](const vrc::DirectoryEntry &a, const vrc::DirectoryEntry &b) { return a.name < b.name; });
        for (const vrc::DirectoryEntry &entry : entries) {
            const fs::path name = path_of(entry.name);
            if (entry.directory) walk(directory / name, below / name);
            else if (has_extension(name, rules_.extension)) add_file(directory / name, below / name);
        }
    }

    // relative: where the input lies below the directory it was found under.
    void add_file(const fs::path &input, const fs::path &relative)
    {
        Job job;
        job.input = name_of(input);
        job.output = name_of(output_path(input, relative));
        job.problem = find_problem(job.input, job.output, &job.input_bytes);
        jobs_.push_back(std::move(job));
    }

    void add_problem(const fs::path &input, const std::string &problem)
    {
        Job job;
        job.input = name_of(input);
        job.problem = problem;
        jobs_.push_back(std::move(job));
    }

    fs::path output_path(const fs::path &input, const fs::path &relative) const
    {
        if (!rules_.output_file.empty()) return path_of(rules_.output_file);
        const fs::path name = output_name(input, rules_.keep_extension);
        if (rules_.output_dir.empty()) return input.parent_path() / name;
        return path_of(rules_.output_dir) / relative.parent_path() / name;
    }

    std::string find_problem(const std::string &input, const std::string &output, uintmax_t *input_bytes)
    {
        vrc::FileIdentity in, out;
        if (!vrc::file_identity(input.c_str(), &in)) return vrc::file_error_text();
        if (!in.regular) return "not a regular file";
        *input_bytes = in.size;
        // An MP4 file given again (recfile-convert * run twice) is its own output.
        const bool output_exists = vrc::file_identity(output.c_str(), &out);
        if (output_exists && out.volume == in.volume && out.number == in.number)
            return "the output " + output + " is this file itself";
        // Neither -y nor -n applies: a directory is never replaced or taken for a done output.
        if (output_exists && out.directory) return "the output " + output + " is a directory";
        if (rules_.segmented) return std::string();
        const auto first = outputs_.emplace(output_key(output), input);
        if (!first.second) return "same output " + output + " as " + first.first->second;
        return std::string();
    }

    const NamingRules &rules_;
    std::vector<Job> jobs_;
    std::map<std::string, std::string> outputs_;  // output path -> the input it was given to
};

}  // namespace

std::vector<Job> plan_jobs(const std::vector<std::string> &inputs, const NamingRules &rules)
{
    Planner planner(rules);
    for (const std::string &input : inputs) planner.add_argument(input);
    return planner.take();
}

void claim_segment_names(std::vector<Job> *jobs)
{
    std::map<std::string, std::string> taken;  // output path -> the input whose segment it is
    for (Job &job : *jobs) {
        for (size_t i = 0; job.problem.empty() && i < job.segments.size(); ++i) {
            const auto other = taken.find(output_key(job.segments[i]));
            if (other != taken.end()) job.problem = "same output " + job.segments[i] + " as " + other->second;
        }
        if (!job.problem.empty()) continue;
        for (const std::string &segment : job.segments) taken.emplace(output_key(segment), job.input);
    }
}

bool parse_audio(const std::string &word, AudioChoice *audio)
{
    if (word != "aac" && word != "copy") return false;
    audio->aac = word == "aac";
    return true;
}

bool parse_bitrate(const std::string &text, AudioChoice *audio)
{
    const bool kilo = !text.empty() && (text.back() == 'k' || text.back() == 'K');
    uint32_t value = 0;
    if (!parse_u32(text.substr(0, text.size() - kilo).c_str(), &value) || value > UINT32_MAX / 1000) return false;
    audio->bitrate = kilo ? value * 1000 : value;
    return true;
}

}  // namespace vrc_tool
