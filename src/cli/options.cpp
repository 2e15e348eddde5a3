#include "cli/options.h"

#include "common/console.h"
#include "common/numbers.h"
#include "common/tracker_url.h"
#include "hash/merkle.h"
#include "metainfo/name.h"

#include <algorithm>
#include <array>
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

// getopt reads this; every letter in it has a row below (checked at build time).
constexpr const char *short_options = "a:hiVp:P:l:c:";

// One option: what getopt_long needs to know of it and what taking its value does. The handler
// gets the option's value (nullptr for an option without one) and says whether the run goes on.
struct option_row {
    const char *name;
    int has_arg;
    char letter; // its short form, or 0 for an option with a long name only
    parse_outcome (*take)(const char *value, run_options &options);
};

// One --tracker value is one tier. Empty URLs are refused once all options are read.
parse_outcome add_tracker_tier(const char *value, run_options &options) {
    options.trackers.push_back(split_tier(value));
    return parse_outcome::run;
}

// A word --format does not know ends the run at once, like an option the parser rejects.
parse_outcome take_format(const char *word, run_options &options) {
    const struct {
        const char *word;
        torrent_format format;
    } known[] = {
        {"v1", torrent_format::v1}, {"v2", torrent_format::v2}, {"hybrid", torrent_format::hybrid}};
    for (const auto &choice : known) {
        if (std::strcmp(word, choice.word) == 0) {
            options.format = choice.format;
            return parse_outcome::run;
        }
    }
    report_failure("unknown format '%s': use v1, v2 or hybrid\n", word);
    return parse_outcome::exit_failure;
}

parse_outcome show_help(const char * /*value*/, run_options & /*options*/) {
    say_out("%s\n", help_text);
    return parse_outcome::exit_success;
}

parse_outcome show_version(const char * /*value*/, run_options & /*options*/) {
    say_out("quillet %s (quillet developers <quillet@users.noreply.invalid>)\n", quillet_version);
    return parse_outcome::exit_success;
}

// The handlers of options that only keep their value, or note that they were given.
template <auto field> parse_outcome keep_text(const char *value, run_options &options) {
    options.*field = value;
    return parse_outcome::run;
}

template <auto field> parse_outcome add_text(const char *value, run_options &options) {
    (options.*field).push_back(value);
    return parse_outcome::run;
}

template <auto field> parse_outcome set_flag(const char * /*value*/, run_options &options) {
    options.*field = true;
    return parse_outcome::run;
}

parse_outcome take_piece_length(const char *value, run_options &options) {
    options.piece_length = leading_decimal(value);
    return parse_outcome::run;
}

// The order of the names is part of the command line: getopt_long lists an ambiguous
// abbreviation's possibilities in this order.
constexpr option_row option_rows[] = {
    {"announce", required_argument, 'a', keep_text<&run_options::announce>},
    {"help", no_argument, 'h', show_help},
    {"version", no_argument, 'V', show_version},
    {"port", required_argument, 'p', keep_text<&run_options::port>},
    {"path", required_argument, 'P', keep_text<&run_options::path>},
    {"piecelength", required_argument, 'l', take_piece_length},
    {"comment", required_argument, 'c', keep_text<&run_options::comment>},
    {"inclusive", no_argument, 'i', set_flag<&run_options::inclusive>},
    {"format", required_argument, 0, take_format},
    {"private", no_argument, 0, set_flag<&run_options::is_private>},
    {"tracker", required_argument, 0, add_tracker_tier},
    {"webseed", required_argument, 0, add_text<&run_options::web_seeds>},
    {"source", required_argument, 0, keep_text<&run_options::source>},
    {"name", required_argument, 0, keep_text<&run_options::name>},
    {"nodate", no_argument, 0, set_flag<&run_options::no_date>},
    {"exclude", required_argument, 0, add_text<&run_options::excludes>},
    {"sorted", no_argument, 0, set_flag<&run_options::sorted>},
    {"magnet", no_argument, 0, set_flag<&run_options::magnet>},
};
constexpr std::size_t option_count = std::size(option_rows);

// What getopt_long returns for a row: its letter, or for a long-only option a code beyond every
// character's, so that no letter and no diagnostic ('?', ':') can be taken for it.
constexpr int code_of_row(std::size_t row) {
    return option_rows[row].letter != 0 ? option_rows[row].letter : 256 + static_cast<int>(row);
}

// Whether the short-option string and the rows agree: each letter of the one is a row's, with
// a colon exactly when that row takes a value, and every row's letter is in the string.
constexpr bool short_options_match_rows() {
    std::size_t letters = 0;
    for (const char *c = short_options; *c != '\0'; ++c) {
        if (*c == ':') {
            continue;
        }
        const bool takes_value = c[1] == ':';
        const auto *row = std::find_if(std::begin(option_rows), std::end(option_rows),
                                       [c](const option_row &r) { return r.letter == *c; });
        if (row == std::end(option_rows) || (row->has_arg == required_argument) != takes_value) {
            return false;
        }
        ++letters;
    }
    return letters == static_cast<std::size_t>(
                          std::count_if(std::begin(option_rows), std::end(option_rows),
                                        [](const option_row &r) { return r.letter != 0; }));
}
static_assert(short_options_match_rows(), "each short option needs its row, and each row's "
                                          "letter its place in short_options");

// getopt_long's array, made from the rows and ended by its zero entry.
constexpr std::array<option, option_count + 1> getopt_long_options = [] {
    std::array<option, option_count + 1> made{};
    for (std::size_t row = 0; row < option_count; ++row) {
        made[row] = {option_rows[row].name, option_rows[row].has_arg, nullptr, code_of_row(row)};
    }
    made[option_count] = {nullptr, 0, nullptr, 0};
    return made;
}();

// Takes one option getopt_long returned; anything not a row's code was refused by getopt_long,
// which has already printed its own diagnostic.
parse_outcome take_option(int code, run_options &options) {
    for (std::size_t row = 0; row < option_count; ++row) {
        if (code_of_row(row) == code) {
            return option_rows[row].take(optarg, options);
        }
    }
    return parse_outcome::exit_failure;
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
    int code = 0;
    while ((code = getopt_long(argc, argv, short_options, getopt_long_options.data(), nullptr)) !=
           -1) {
        const parse_outcome outcome = take_option(code, options);
        if (outcome != parse_outcome::run) {
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
    // The one change to the classic rules: "." and ".." name no torrent a client loads.
    if (options.input_path != nullptr) {
        options.resolved_name = resolved_directory_name(options.input_path).value_or("");
    }
    // Complete tracker URLs take the place of the announce base.
    if ((options.announce == nullptr && options.trackers.empty()) ||
        options.input_path == nullptr || options.output_path == nullptr) {
        report_failure("Invalid arguments. Use -h for help.\n");
        return parse_outcome::exit_failure;
    }
    return parse_outcome::run;
}
