// recfile-convert: works with the recorder's legacy record files and the MP4
// files made of them. The first argument names a subcommand; the rest goes
// to it.
#include <cstdio>
#include <cstring>

#include "subcommand.h"

namespace {

using vrc_tool::Subcommand;

const Subcommand *const kSubcommands[] = {
    &vrc_tool::kConvertCommand,
    &vrc_tool::kPackCommand,
    &vrc_tool::kInfoCommand,
    &vrc_tool::kExtractCommand,
};

bool is_help(const char *arg)
{
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "help") == 0;
}

void print_overview(std::FILE *to)
{
    std::fputs("usage: recfile-convert <subcommand> [options]\n"
               "       recfile-convert <subcommand> --help\n\nsubcommands:\n",
               to);
    for (const Subcommand *command : kSubcommands) std::fprintf(to, "  %-10s %s\n", command->name, command->summary);
}

void print_full_help()
{
    print_overview(stdout);
    for (const Subcommand *command : kSubcommands) std::printf("\n%s", command->help);
}

const Subcommand *find_subcommand(const char *name)
{
    for (const Subcommand *command : kSubcommands)
        if (std::strcmp(command->name, name) == 0) return command;
    return nullptr;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        print_overview(stderr);
        return vrc_tool::kExitUsage;
    }
    if (is_help(argv[1])) {
        print_full_help();
        return vrc_tool::kExitOk;
    }
    const Subcommand *command = find_subcommand(argv[1]);
    // recfile-convert [options] FILE... is short for recfile-convert convert [options] FILE...
    if (!command) return vrc_tool::kConvertCommand.run(argc - 1, argv + 1);
    if (argc > 2 && is_help(argv[2])) {
        std::fputs(command->help, stdout);
        return vrc_tool::kExitOk;
    }
    return command->run(argc - 2, argv + 2);
}
