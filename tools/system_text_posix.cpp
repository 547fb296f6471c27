#include "system_text.h"

std::vector<std::string> vrc_tool::utf8_arguments(int argc, char **argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

void vrc_tool::write_text(std::FILE *stream, const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stream);
}
