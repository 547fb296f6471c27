#include <unistd.h>

#include "terminal.h"

bool vrc_tool::is_terminal(std::FILE *stream)
{
    return isatty(fileno(stream)) == 1;
}

bool vrc_tool::enable_colour_codes(std::FILE *)
{
    return true;
}
