// recfile-convert: works with the recorder's legacy record files and the MP4
// files made of them. The first argument names a subcommand; the rest goes
// to it.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "process.h"
#include "subcommand.h"
#include "system_text.h"
#include "vrc_uri_io.h"

namespace {

using vrc_tool::Subcommand;

const Subcommand *const kSubcommands[] = {
    &vrc_tool::kConvertCommand,
    &vrc_tool::kPackCommand,
    &vrc_tool::kInfoCommand,
    &vrc_tool::kExtractCommand,
    &vrc_tool::kRepairCommand,
};

bool is_help(const char *arg)
{
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

// -h or --help anywhere before "--" asks for help.
bool asks_for(int argc, char **argv, bool (*is_flag)(const char *))
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (is_flag(argv[i])) return true;
    return false;
}

bool is_version(const char *arg)
{
    return std::strcmp(arg, "--version") == 0;
}

void print_overview(std::FILE *to)
{
    std::fputs("usage: recfile-convert <subcommand> [options]\n"
               "       recfile-convert <subcommand> --help\n"
               "       recfile-convert --version\n\nsubcommands:\n",
               to);
    for (const Subcommand *command : kSubcommands) std::fprintf(to, "  %-10s %s\n", command->name, command->summary);
    std::fputs("\nexit status: 0 done, 1 a file failed, 2 bad command line, 3 extract --from: time\n"
               "outside the recording, 128 + the signal when stopped (129 SIGHUP, 130 Ctrl-C,\n"
               "141 standard output closed, 143 SIGTERM)\n",
               to);
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

int run(int argc, char **argv)
{
    if (argc < 2) {
        print_overview(stderr);
        return vrc_tool::kExitUsage;
    }
    if (asks_for(argc, argv, is_version)) {
        std::printf("recfile-convert %s\nAAC: %s\n", VRC_TOOL_VERSION, VRC_TOOL_AAC ? "yes" : "no");
        return vrc_tool::kExitOk;
    }
    if (is_help(argv[1]) || std::strcmp(argv[1], "help") == 0) {
        print_full_help();
        return vrc_tool::kExitOk;
    }
    const Subcommand *command = find_subcommand(argv[1]);
    if (asks_for(argc, argv, is_help)) {
        std::fputs((command ? command : &vrc_tool::kConvertCommand)->help, stdout);
        return vrc_tool::kExitOk;
    }
    // recfile-convert [options] FILE... is short for recfile-convert convert [options] FILE...
    if (!command) return vrc_tool::kConvertCommand.run(argc - 1, argv + 1);
    return command->run(argc - 2, argv + 2);
}

}  // namespace

int main(int argc, char **argv)
{
    if (!vrc_tool::reopen_closed_standard_streams()) return vrc_tool::kExitFailure;
    // Out of memory, say: a message and an exit status rather than an abort.
    try {
        // Names are UTF-8 from the arguments on, and the library is told so.
        vrc_uri_io_set_path_encoding(VRC_PATH_ENCODING_UTF8);
        std::vector<std::string> arguments = vrc_tool::utf8_arguments(argc, argv);
        std::vector<char *> pointers;
        for (std::string &argument : arguments) pointers.push_back(&argument[0]);
        pointers.push_back(nullptr);
        return run(static_cast<int>(arguments.size()), pointers.data());
    } catch (const std::exception &error) {
        std::fprintf(stderr, "recfile-convert: %s\n", error.what());
        return vrc_tool::kExitFailure;
    }
}
