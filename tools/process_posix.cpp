#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "process.h"
#include "subcommand.h"

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

const int vrc_tool::kBrokenPipeSignal = SIGPIPE;

// open takes the lowest free number: the closed one, as those below it are
// open by then.
bool vrc_tool::reopen_closed_standard_streams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null_device = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null_device != fd) return false;
    }
    return true;
}

void vrc_tool::catch_stop_signals()
{
    for (const int signal : kStopSignals) std::signal(signal, vrc_tool::stop_on_signal);
    std::signal(SIGPIPE, SIG_IGN);
}

const char *vrc_tool::signal_name(int signal)
{
    switch (signal) {
    case SIGINT: return "Ctrl-C (SIGINT)";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGPIPE: return "SIGPIPE (standard output closed)";
    default: return "a signal";
    }
}
