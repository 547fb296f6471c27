// What the tool asks of the terminal it prints on.
#ifndef VRC_TOOLS_TERMINAL_H
#define VRC_TOOLS_TERMINAL_H

#include <cstdio>

namespace vrc_tool {

bool is_terminal(std::FILE *stream);
// Makes the terminal behind stream act on ANSI colour codes; false when it cannot.
bool enable_colour_codes(std::FILE *stream);

}  // namespace vrc_tool

#endif
