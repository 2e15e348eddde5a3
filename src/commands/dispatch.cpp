#include "commands/command.h"

#include <array>
#include <cstring>

namespace {
// A command's row goes here once its entry point exists; until then its word stays classic input.
constexpr std::array command_table{
    command{"create", "make a torrent, with today's defaults and tracker presets", run_create},
    command{"show", "show what torrent files say, and what is wrong with them", run_show},
    command{"verify", "check content against a torrent, file by file", run_verify},
    command{"edit",
            "change trackers, comment, source, private flag or name without reading content",
            run_edit},
    command{"help", "list the commands, or show one command's help", run_help},
};
} // namespace

std::span<const command> commands() {
    return command_table;
}

const command *find_command(const char *word) {
    for (const command &each : command_table)
        if (std::strcmp(each.name, word) == 0)
            return &each;
    return nullptr;
}
