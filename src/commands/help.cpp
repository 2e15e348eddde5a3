#include "commands/command.h"
#include "common/version.h"

#include <cstdio>
#include <cstring>

namespace {
void print_command_list(FILE *stream) {
    std::fprintf(stream, "quillet %s: make, read, check and edit BitTorrent metainfo files\n\n",
                 quillet_version);
    std::fprintf(stream,
                 "usage: quillet COMMAND [OPTIONS] ...\n"
                 "       quillet [OPTIONS] -a URL INPUT OUTPUT   (the classic command line)\n\n"
                 "commands:\n");
    for (const command &each : commands())
        std::fprintf(stream, "  %-8s %s\n", each.name, each.summary);
    std::fprintf(stream,
                 "\n'quillet COMMAND -h' shows a command's options. Content whose name is a "
                 "command word is reached as ./WORD.\n");
}

bool asks_for_help(const char *word) {
    return std::strcmp(word, "-h") == 0 || std::strcmp(word, "--help") == 0;
}
} // namespace

// `quillet help` lists the commands; `quillet help WORD` is `quillet WORD --help`.
int run_help(int argc, char **argv) {
    if (argc < 2 || asks_for_help(argv[1])) {
        print_command_list(stdout);
        return 0;
    }
    if (argc > 2) {
        std::fprintf(stderr, "quillet help: too many arguments\n");
        return 1;
    }
    const command *wanted = find_command(argv[1]);
    if (wanted == nullptr) {
        std::fprintf(stderr, "quillet help: no command named '%s'\n", argv[1]);
        print_command_list(stderr);
        return 1;
    }
    char help_flag[] = "--help";
    char *arguments[] = {argv[1], help_flag, nullptr};
    return wanted->run(2, arguments);
}
