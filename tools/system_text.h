// The command's text as the system hands it over and shows it. The command
// works in UTF-8 throughout (names, messages, JSON, pipes); on Windows the
// system gives the arguments and a console shows text in UTF-16, since its
// narrow code page cannot hold every name.
#ifndef VRC_TOOLS_SYSTEM_TEXT_H
#define VRC_TOOLS_SYSTEM_TEXT_H

#include <cstdio>
#include <string>
#include <vector>

namespace vrc_tool {

// The arguments in UTF-8: on Windows taken from the wide command line, so
// that no character is lost; elsewhere argv as it is.
std::vector<std::string> utf8_arguments(int argc, char **argv);

// Writes UTF-8 text to stream: as characters on a Windows console, as the
// bytes themselves everywhere else.
void write_text(std::FILE *stream, const std::string &text);

}  // namespace vrc_tool

#endif
