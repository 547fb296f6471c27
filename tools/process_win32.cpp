#include <fcntl.h>
#include <io.h>

#include <csignal>

#include "process.h"
#include "subcommand.h"

namespace {

// Ctrl-Break comes as SIGBREAK; Windows raises no SIGHUP or SIGPIPE.
const int kStopSignals[] = {SIGINT, SIGTERM, SIGBREAK};
// A number without a handle: -1, or -2 where the C library marks standard
// streams that the process was started without.
constexpr intptr_t kNoHandle = -1, kNoStream = -2;

}  // namespace

const int vrc_tool::kBrokenPipeSignal = 13;  // POSIX's number: exit status 141, as shells report it

bool vrc_tool::reopen_closed_standard_streams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        const intptr_t handle = _get_osfhandle(fd);
        if (handle != kNoHandle && handle != kNoStream) continue;
        const int null_device = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (null_device < 0) return false;
        if (null_device == fd) continue;
        const bool moved = _dup2(null_device, fd) == 0;
        _close(null_device);
        if (!moved) return false;
    }
    return true;
}

void vrc_tool::catch_stop_signals()
{
    for (const int signal : kStopSignals) std::signal(signal, vrc_tool::stop_on_signal);
}

const char *vrc_tool::signal_name(int signal)
{
    switch (signal) {
    case SIGINT: return "Ctrl-C (SIGINT)";
    case SIGTERM: return "SIGTERM";
    case SIGBREAK: return "Ctrl-Break (SIGBREAK)";
    case 13: return "a closed standard output";
    default: return "a signal";
    }
}
