// What the library prints on standard output: its log lines and the plain
// progress and failure lines. A conversion may route the lines of its own
// thread to a host's function instead, whole lines only, so that conversions
// running side by side never mix their output mid-line.
#ifndef VRC_OUTPUT_H
#define VRC_OUTPUT_H

#include "vrc_platform.h"

namespace vrc {

using LineSink = void (*)(void *user, const char *line);

// Routes this thread's output to sink while the object lives (a null sink
// leaves it on standard output); a last unfinished line is handed over when
// it ends.
class OutputRedirect {
public:
    OutputRedirect(LineSink sink, void *user);
    ~OutputRedirect();
    OutputRedirect(const OutputRedirect &) = delete;
    OutputRedirect &operator=(const OutputRedirect &) = delete;

private:
    bool active_;
};

void out_printf(const char *format, ...) VRC_PRINTF_FORMAT(1, 2);
// Prints text and a newline, as puts does.
void out_puts(const char *text);

}  // namespace vrc

#endif
