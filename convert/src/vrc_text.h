// Text helpers that the library and the command share.
#ifndef VRC_TEXT_H
#define VRC_TEXT_H

#include <cstdarg>
#include <cstdio>
#include <string>

namespace vrc {

// printf into a string of whatever length it takes (messages carry paths of
// up to 32767 characters). Consumes args.
inline std::string vformat(const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    return text;
}

}  // namespace vrc

#endif
