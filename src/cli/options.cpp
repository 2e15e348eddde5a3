#include "cli/options.h"

#include "common/console.h"
#include "common/numbers.h"
#include "common/run_state.h"
#include "hash/merkle.h"
#include "metainfo/name.h"

#include <algorithm>
#include <cstring>
#include <getopt.h>
#include <string>

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

// The options that have no short letter get codes beyond every character's.
enum long_only_option : int {
    option_private = 1000,
    option_tracker,
    option_webseed,
    option_source,
    option_name,
    option_nodate,
    option_exclude,
    option_sorted,
    option_magnet,
    option_format, // ends the run at once when its word is unknown
};

const option long_options[] = {
    {"announce", required_argument, nullptr, 'a'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"port", required_argument, nullptr, 'p'},
    {"path", required_argument, nullptr, 'P'},
    {"piecelength", required_argument, nullptr, 'l'},
    {"comment", required_argument, nullptr, 'c'},
    {"inclusive", no_argument, nullptr, 'i'},
    {"format", required_argument, nullptr, option_format},
    {"private", no_argument, nullptr, option_private},
    {"tracker", required_argument, nullptr, option_tracker},
    {"webseed", required_argument, nullptr, option_webseed},
    {"source", required_argument, nullptr, option_source},
    {"name", required_argument, nullptr, option_name},
    {"nodate", no_argument, nullptr, option_nodate},
    {"exclude", required_argument, nullptr, option_exclude},
    {"sorted", no_argument, nullptr, option_sorted},
    {"magnet", no_argument, nullptr, option_magnet},
    {nullptr, 0, nullptr, 0},
};

// One --tracker value is one tier: its URLs are separated by commas. Empty URLs are kept here
// and refused once all options are read.
void add_tracker_tier(const char *value, run_options &options) {
    std::vector<std::string> tier;
    const std::string_view text(value);
    std::size_t start = 0;
    for (std::size_t comma = text.find(','); comma != std::string_view::npos;
         comma = text.find(',', start)) {
        tier.emplace_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    tier.emplace_back(text.substr(start));
    options.trackers.push_back(std::move(tier));
}

// Records one value of an option that has no short letter.
void take_long_only_option(int option_char, run_options &options) {
    switch (option_char) {
    case option_private:
        options.is_private = true;
        break;
    case option_tracker:
        add_tracker_tier(optarg, options);
        break;
    case option_webseed:
        options.web_seeds.push_back(optarg);
        break;
    case option_source:
        options.source = optarg;
        break;
    case option_name:
        options.name = optarg;
        break;
    case option_nodate:
        options.no_date = true;
        break;
    case option_exclude:
        options.excludes.push_back(optarg);
        break;
    case option_sorted:
        options.sorted = true;
        break;
    case option_magnet:
        options.magnet = true;
        break;
    default:
        break;
    }
}

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
        return true;
    case 'i':
        options.inclusive = true;
        run_inclusive = true;
        return true;
    case option_format:
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
        if (option_char >= option_private && option_char <= option_magnet) {
            take_long_only_option(option_char, options);
            return true;
        }
        // getopt_long has already printed its own diagnostic.
        outcome = parse_outcome::exit_failure;
        return false;
    }
}

bool has_empty_url(const tracker_tiers &trackers) {
    return std::any_of(trackers.begin(), trackers.end(), [](const auto &tier) {
        return std::any_of(tier.begin(), tier.end(), [](const auto &url) { return url.empty(); });
    });
}

// The values of the options, judged once all of them are read, so that the last one given
// counts; returns false after reporting the first that cannot be used.
bool option_values_usable(const run_options &options) {
    if (options.piece_length <= 0) {
        report_failure("piece length has to be > 0.\n");
        return false;
    }
    if (!piece_length_fits_format(options)) {
        return false;
    }
    if (options.name != nullptr && !usable_torrent_name(options.name)) {
        report_failure("--name must not be empty, \".\", \"..\" or contain \"/\"\n");
        return false;
    }
    if (has_empty_url(options.trackers)) {
        report_failure("empty URL in --tracker\n");
        return false;
    }
    if (std::any_of(options.web_seeds.begin(), options.web_seeds.end(),
                    [](const char *url) { return *url == '\0'; })) {
        report_failure("empty URL in --webseed\n");
        return false;
    }
    return true;
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
    if (!option_values_usable(options)) {
        return parse_outcome::exit_failure;
    }
    // The file tree of v2 and hybrid is ordered by name, and so is the walk that fills it.
    if (options.format != torrent_format::v1) {
        options.sorted = true;
    }
    take_positionals(argc, argv, options);
    // Complete tracker URLs take the place of the announce base.
    if ((options.announce == nullptr && options.trackers.empty()) ||
        options.input_path == nullptr || options.output_path == nullptr) {
        report_failure("Invalid arguments. Use -h for help.\n");
        return parse_outcome::exit_failure;
    }
    return parse_outcome::run;
}
