// The command-line tool's subcommands and the small helpers they share.
// A subcommand is a name, a one-line summary for the overview, its help text
// and a run function that gets the arguments after its name.
#ifndef VRC_TOOLS_SUBCOMMAND_H
#define VRC_TOOLS_SUBCOMMAND_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "vrc_platform.h"

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
extern const Subcommand kRepairCommand;

// printf to stream, shown as characters on a Windows console (write_text).
void print(std::FILE *stream, const char *format, ...) VRC_PRINTF_FORMAT(2, 3);

// The command keeps names in UTF-8; std::filesystem takes them apart (in
// UTF-16 on Windows, where a plain string would be read in the C library's
// code page). Files themselves are reached through the library's file
// functions, which take every name however long.
std::filesystem::path path_of(const std::string &name);
std::string name_of(const std::filesystem::path &path);
// Makes directory and those missing above it; false with the reason.
bool make_directories(const std::filesystem::path &directory, std::string *reason);
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
// The reason a value was refused, with the value as it was given:
// --audio takes aac or copy, not "opus".
std::string refusal(const std::string &reason, const std::string &value);
// The value after the option at argv[*i], stepping *i over it; null, with
// the usage error printed, when none follows or it is empty ("" names no
// file, time or extension: taking it would ignore the option silently).
const char *option_value(const char *name, int argc, char **argv, int *i);
// What the subcommands that read one file share on their command lines.
struct OneFileArgs {
    std::string input;
    bool json = false;
    bool verbose = false;
};
// Takes arg as --json, -v/--verbose or the file: 0, or kExitUsage (printed)
// for an unknown option or a second file.
int take_one_file_arg(const char *name, const char *arg, OneFileArgs *args);
// A whole decimal number that fits in 32 bits.
bool parse_u32(const char *text, uint32_t *value);
// Leaves errno set when it fails.
bool read_whole_file(const std::string &path, std::vector<uint8_t> *bytes);
// The text as a JSON string literal, quotes included. Every output line is
// valid UTF-8: each byte that is not part of a well-formed UTF-8 character
// becomes U+FFFD.
std::string json_quote(const std::string &text);
// "key":"name" for a file name. A name that is not UTF-8 (POSIX names are
// any bytes) also gets "key_hex" with its exact bytes, two lowercase hex
// digits each, so that two such names stay apart and can be found again.
std::string json_name(const char *key, const std::string &name);
// The system's reason for an errno value ("No such file or directory").
std::string system_reason(int error);

}  // namespace vrc_tool

#endif
