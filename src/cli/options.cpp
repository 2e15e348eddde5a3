#include "cli/options.h"

#include "common/console.h"
#include "common/numbers.h"
#include "common/run_state.h"
#include "hash/merkle.h"

#include <cstring>
#include <getopt.h>

namespace {
constexpr const char *help_text =
    "Usage: quillet [OPTIONS] -a announce <input file or directory> <output torrent>\n"
    "\n"
    "options:\n"
    "--announce    -a  <announceurl> : announce url\n"
    "--port        -p  <port>        : sets the port, default: 6881\n"
    "--path        -P  <path>        : sets the path on the server, default: /announce\n"
    "--piecelength -l  <piecelen>    : sets the piece length in bytes, default: 262144\n"
    "--comment     -c  <comment>     : adds an optional comment to the torrent file\n"
    "--inclusive   -i                : include hidden *nix files (starting with '.')\n"
    "--version     -V                : version of quillet\n"
    "--help        -h                : this help screen\n";

constexpr const char *short_options = "a:hiVp:P:l:c:";

// Long options without a short letter are told apart by values beyond any character.
constexpr int format_option = 256;

const option long_options[] = {
    {"announce", required_argument, nullptr, 'a'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"port", required_argument, nullptr, 'p'},
    {"path", required_argument, nullptr, 'P'},
    {"piecelength", required_argument, nullptr, 'l'},
    {"comment", required_argument, nullptr, 'c'},
    {"inclusive", no_argument, nullptr, 'i'},
    {"format", required_argument, nullptr, format_option},
    {nullptr, 0, nullptr, 0},
};

// A word --format does not know ends the run at once, like an option the parser rejects.
bool take_format(const char *word, run_options &options, parse_outcome &outcome) {
    const struct {
        const char *word;
        torrent_format format;
    } known[] = {
        {"v1", torrent_format::v1}, {"v2", torrent_format::v2}, {"hybrid", torrent_format::hybrid}};
    for (const auto &choice : known) {
        if (std::strcmp(word, choice.word) == 0) {
            options.format = choice.format;
            return true;
        }
    }
    report_failure("unknown format '%s': use v1, v2 or hybrid\n", word);
    outcome = parse_outcome::exit_failure;
    return false;
}

// v2 pieces are whole subtrees of 16 KiB blocks, so only some lengths can be used.
bool piece_length_fits_format(const run_options &options) {
    if (options.format == torrent_format::v1 || merkle_piece_length_fits(options.piece_length)) {
        return true;
    }
    report_failure("piece length has to be a power of two >= 16384 for %s torrents.\n",
                   options.format == torrent_format::v2 ? "v2" : "hybrid");
    return false;
}

// Records one option's value; returns false for the options that end the run at once.
bool take_option(int option_char, run_options &options, parse_outcome &outcome) {
    switch (option_char) {
    case 'a':
        options.announce = optarg;
        return true;
    case 'p':
        options.port = optarg;
        return true;
    case 'P':
        options.path = optarg;
        return true;
    case 'l':
        options.piece_length = leading_decimal(optarg);
        return true;
    case 'c':
        options.comment = optarg;
        run_comment = optarg;
        return true;
    case 'i':
        options.inclusive = true;
        run_inclusive = true;
        return true;
    case format_option:
        return take_format(optarg, options, outcome);
    case 'h':
        say_out("%s\n", help_text);
        outcome = parse_outcome::exit_success;
        return false;
    case 'V':
        say_out("quillet %s (quillet developers <quillet@users.noreply.invalid>)\n",
                quillet_version);
        outcome = parse_outcome::exit_success;
        return false;
    default:
        // getopt_long has already printed its own diagnostic.
        outcome = parse_outcome::exit_failure;
        return false;
    }
}

void take_positionals(int argc, char **argv, run_options &options) {
    if (optind < argc) {
        options.input_path = argv[optind++];
    }
    for (; optind < argc; ++optind) {
        options.output_path = argv[optind];
    }
}
} // namespace

parse_outcome parse_command_line(int argc, char **argv, run_options &options) {
    int option_char = 0;
    while ((option_char = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        parse_outcome outcome = parse_outcome::run;
        if (!take_option(option_char, options, outcome)) {
            return outcome;
        }
    }
    if (options.piece_length <= 0) {
        report_failure("piece length has to be > 0.\n");
        return parse_outcome::exit_failure;
    }
    if (!piece_length_fits_format(options)) {
        return parse_outcome::exit_failure;
    }
    // The file tree of v2 and hybrid is ordered by name, and so is the walk that fills it.
    if (options.format != torrent_format::v1) {
        options.sorted = true;
    }
    take_positionals(argc, argv, options);
    if (options.announce == nullptr || options.input_path == nullptr ||
        options.output_path == nullptr) {
        report_failure("Invalid arguments. Use -h for help.\n");
        return parse_outcome::exit_failure;
    }
    return parse_outcome::run;
}
