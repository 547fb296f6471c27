// Which recordings the convert subcommand converts and where each output
// goes: files named on the command line, recordings found under directories,
// output names and the checks that can be made before converting.
#ifndef VRC_TOOLS_CONVERT_PLAN_H
#define VRC_TOOLS_CONVERT_PLAN_H

#include <cstdint>
#include <string>
#include <vector>

namespace vrc_tool {

struct NamingRules {
    std::string output_file;  // -o: the one output; empty otherwise
    std::string output_dir;   // -d: outputs go under it; empty: beside each input
    bool keep_extension = false;
    bool recursive = false;
    std::string extension = ".rec";  // of the recordings -r picks up
    bool segmented = false;          // outputs named by a pattern: the names are checked once listed
};

struct Job {
    std::string input;
    std::string output;
    uintmax_t input_bytes = 0;
    std::string problem;  // why the file fails without being converted; empty when it can be
    std::vector<std::string> parts;  // --join: the recordings that go into the one output
    std::vector<std::string> segments;  // --segment: the names of its outputs, listed before any is written
};

// The audio of the outputs: the recorder's mu-law as it is, or AAC.
struct AudioChoice {
    bool aac = false;
    uint32_t bitrate = 0;  // of AAC; 0: the library's default
};

// Reads --audio's word and --audio-bitrate's number (32000 or 32k) into
// audio; false for anything else.
bool parse_audio(const std::string &word, AudioChoice *audio);
bool parse_bitrate(const std::string &text, AudioChoice *audio);

// One job per recording, in command-line order and, under a directory, in
// name order. Inputs that cannot be converted become jobs with a problem.
std::vector<Job> plan_jobs(const std::vector<std::string> &inputs, const NamingRules &rules);
// Gives each segment name to the first job that lists it: a later job that
// would write one of its names (under any spelling of the path) gets a
// problem naming the input that took it.
void claim_segment_names(std::vector<Job> *jobs);

}  // namespace vrc_tool

#endif
