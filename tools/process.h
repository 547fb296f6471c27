// What the tool asks of its process: standard streams that exist, and the
// signals that stop a run.
#ifndef VRC_TOOLS_PROCESS_H
#define VRC_TOOLS_PROCESS_H

namespace vrc_tool {

// Points each of standard input, output and error that the process was
// started without (`>&-`, as some schedulers and daemons start programs) at
// the null device, so that no file opened later takes its number and
// receives the report. False when that cannot be done.
bool reopen_closed_standard_streams();

// From now on Ctrl-C and the signals with which batch systems and service
// managers stop a job ask the run to stop (request_stop); the same signal
// again ends the process at once. A write to a pipe whose reader went away
// fails with EPIPE instead of ending the process.
void catch_stop_signals();

// The number of SIGPIPE, for a run stopped by a reader that went away
// (also where the system has no such signal, for the exit status).
extern const int kBrokenPipeSignal;

// How a stop signal is named to the user: "SIGTERM".
const char *signal_name(int signal);

}  // namespace vrc_tool

#endif
