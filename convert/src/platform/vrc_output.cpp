#include "vrc_output.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vrc {

namespace {

// A log line is at most 1023 bytes; a longer run without a newline is
// handed over in pieces of this size.
constexpr size_t kLineCapacity = 1024;

struct Redirect {
    LineSink sink = nullptr;
    void *user = nullptr;
    char line[kLineCapacity + 1] = {};
    size_t used = 0;
};

thread_local Redirect t_redirect;

void hand_over_line(Redirect &r)
{
    r.line[r.used] = '\0';
    r.sink(r.user, r.line);
    r.used = 0;
}

// Collects text into lines; each newline hands one over, without it.
void collect(Redirect &r, const char *text)
{
    for (const char *p = text; *p; ++p) {
        if (*p == '\n') {
            hand_over_line(r);
            continue;
        }
        r.line[r.used++] = *p;
        if (r.used == kLineCapacity) hand_over_line(r);
    }
}

}  // namespace

OutputRedirect::OutputRedirect(LineSink sink, void *user) : active_(sink != nullptr)
{
    if (!active_) return;
    t_redirect.sink = sink;
    t_redirect.user = user;
    t_redirect.used = 0;
}

OutputRedirect::~OutputRedirect()
{
    if (!active_) return;
    if (t_redirect.used != 0) hand_over_line(t_redirect);
    t_redirect.sink = nullptr;
}

void out_printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    if (!t_redirect.sink) {
        std::vprintf(format, args);
    } else {
        char text[kLineCapacity];
        std::vsnprintf(text, sizeof text, format, args);
        collect(t_redirect, text);
    }
    va_end(args);
}

void out_puts(const char *text)
{
    if (!t_redirect.sink) {
        std::puts(text);
        return;
    }
    collect(t_redirect, text);
    collect(t_redirect, "\n");
}

}  // namespace vrc
