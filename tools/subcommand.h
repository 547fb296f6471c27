// The command-line tool's subcommands and the small helpers they share.
// A subcommand is a name, a one-line summary for the overview, its help text
// and a run function that gets the arguments after its name.
#ifndef VRC_TOOLS_SUBCOMMAND_H
#define VRC_TOOLS_SUBCOMMAND_H

#include <cstdint>
#include <string>
#include <vector>

namespace vrc_tool {

// Exit codes of every subcommand.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // input unreadable, output unwritable
constexpr int kExitUsage = 2;    // bad command line
constexpr int kExitNoSuchTime = 3;  // extract --from: the time lies outside the recording
// A run stopped from outside exits with 128 + the signal, as shells report it.
constexpr int kExitStoppedBase = 128;

struct Subcommand {
    const char *name;
    const char *summary;
    const char *help;  // usage line and options, ends with a newline
    int (*run)(int argc, char **argv);
};

extern const Subcommand kConvertCommand;
extern const Subcommand kPackCommand;
extern const Subcommand kInfoCommand;
extern const Subcommand kExtractCommand;

// Why the run is being stopped from outside: 0 while it is not, else the
// signal that asked (kBrokenPipeSignal for a reader of standard output that
// went away). The first request wins; both are safe in a signal handler.
int stop_signal();
void request_stop(int signal);
// The handler of the stop signals: asks the run to stop; the same signal
// again ends the process at once.
extern "C" void stop_on_signal(int signal);

// Writes "recfile-convert NAME: message" to standard error and returns kExitUsage.
int usage_error(const char *name, const std::string &message);
// A whole decimal number that fits in 32 bits.
bool parse_u32(const char *text, uint32_t *value);
// Both leave errno set when they fail.
bool read_whole_file(const std::string &path, std::vector<uint8_t> *bytes);
bool write_whole_file(const std::string &path, const std::vector<uint8_t> &bytes);
// The text as a JSON string literal, quotes included.
std::string json_quote(const std::string &text);

}  // namespace vrc_tool

#endif
