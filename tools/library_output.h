// The library prints its diagnostic lines on standard output. The tool keeps
// them out of the way unless asked: its own report goes to a stream of its
// own, and the process's standard output is pointed at the null device.
#ifndef VRC_TOOLS_LIBRARY_OUTPUT_H
#define VRC_TOOLS_LIBRARY_OUTPUT_H

#include <cstdio>

namespace vrc_tool {

// Returns a stream on the original standard output for the tool's report and
// silences what is printed to stdout from now on; null when that fails.
std::FILE *silence_library_output();

// Where a subcommand prints its report: standard output, with the library's
// lines silenced unless the user asked to see them.
inline std::FILE *report_stream(bool show_library_lines)
{
    std::FILE *own = show_library_lines ? nullptr : silence_library_output();
    return own ? own : stdout;
}

}  // namespace vrc_tool

#endif
