#include "convert_plan.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <system_error>

namespace vrc_tool {
namespace {

namespace fs = std::filesystem;

// Archives copied from Windows machines spell the extension either way.
bool has_extension(const fs::path &file, const std::string &wanted)
{
    const std::string extension = file.extension().string();
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

// Builds the job list; every output name is handed out once.
class Planner {
  public:
    explicit Planner(const NamingRules &rules) : rules_(rules) {}

    void add_argument(const std::string &argument)
    {
        const fs::path path(argument);
        std::error_code ec;
        const bool directory = fs::is_directory(path, ec);
        if (!directory) return add_file(path, path.filename());
        if (!rules_.recursive) return add_problem(path, "is a directory (-r converts the recordings under it)");
        const size_t before = jobs_.size();
        walk(path, path);
        // A mistyped --ext finds nothing: say so rather than report a run that did nothing.
        if (jobs_.size() == before)
            add_problem(path, "no recording named *" + rules_.extension + " under it (see --ext)");
    }

    std::vector<Job> take() { return std::move(jobs_); }

  private:
    // Name order, so that runs and their reports repeat. Links to directories
    // are not followed: they could lead round in a circle.
    void walk(const fs::path &directory, const fs::path &root)
    {
        std::error_code ec;
        std::vector<fs::directory_entry> entries;
        for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(*it);
        if (ec) add_problem(directory, "cannot read the directory: " + ec.message());
        std::sort(entries.begin(), entries.end());
        for (const fs::directory_entry &entry : entries) {
            std::error_code kind;
            if (entry.is_directory(kind) && !entry.is_symlink(kind)) walk(entry.path(), root);
            else if (has_extension(entry.path(), rules_.extension))
                add_file(entry.path(), entry.path().lexically_relative(root));
        }
    }

    // relative: where the input lies below the directory it was found under.
    void add_file(const fs::path &input, const fs::path &relative)
    {
        Job job;
        job.input = input.string();
        job.output = output_path(input, relative).string();
        job.problem = find_problem(input, job.output, &job.input_bytes);
        jobs_.push_back(std::move(job));
    }

    void add_problem(const fs::path &input, const std::string &problem)
    {
        jobs_.push_back(Job{input.string(), std::string(), 0, problem});
    }

    fs::path output_path(const fs::path &input, const fs::path &relative) const
    {
        if (!rules_.output_file.empty()) return rules_.output_file;
        const fs::path name = output_name(input, rules_.keep_extension);
        if (rules_.output_dir.empty()) return input.parent_path() / name;
        return fs::path(rules_.output_dir) / relative.parent_path() / name;
    }

    std::string find_problem(const fs::path &input, const std::string &output, uintmax_t *input_bytes)
    {
        std::error_code ec;
        const fs::file_status status = fs::status(input, ec);
        if (ec) return ec.message();
        if (!fs::is_regular_file(status)) return "not a regular file";
        *input_bytes = fs::file_size(input, ec);
        // An MP4 file given again (recfile-convert * run twice) is its own output.
        if (fs::equivalent(input, output, ec)) return "the output " + output + " is this file itself";
        // Neither -y nor -n applies: a directory is never replaced or taken for a done output.
        if (fs::is_directory(output, ec)) return "the output " + output + " is a directory";
        const auto first = outputs_.emplace(fs::absolute(output, ec).lexically_normal().string(), input.string());
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

}  // namespace vrc_tool
