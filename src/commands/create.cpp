#include "commands/command.h"
#include "commands/presets.h"
#include "common/console.h"
#include "common/file_identity.h"
#include "common/memory_reserve.h"
#include "common/numbers.h"
#include "common/output_policy.h"
#include "common/piece_length.h"
#include "common/progress.h"
#include "common/tracker_url.h"
#include "common/version.h"
#include "metainfo/magnet.h"
#include "metainfo/name.h"
#include "metainfo/write_metainfo.h"
#include "tree/scan.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <nlohmann/json.hpp>
#include <numeric>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {
// Everything `create` was asked for, from the command line and the preset.
struct create_request {
    std::vector<std::string> paths;
    std::string output;
    bool force = false;
    std::vector<std::string> trackers; // one tier each; commas separate a tier's URLs
    std::vector<std::string> webseeds;
    bool is_private = false;
    std::optional<std::string> source;
    std::optional<std::string> name;
    std::optional<std::string> comment;
    bool no_date = false;
    std::string created_by = std::string("quillet ") + quillet_version;
    bool no_created_by = false;
    std::string format = "v1";
    std::vector<std::string> excludes;
    std::vector<std::string> includes;
    bool hidden = false;
    unsigned threads = 0;
    bool magnet = false;
    std::string piece_length = "auto";
    std::string max_piece_length;
    std::string preset;
    std::string presets_file;
    bool quiet = false;
    bool json = false;
};

// The checked values every torrent of one invocation shares.
struct create_plan {
    tracker_tiers trackers;
    torrent_format format = torrent_format::v1;
    std::optional<std::int32_t> piece_length; // nothing: auto
    std::int32_t max_piece_length = default_max_piece_length;
    std::FILE *results = stdout; // standard error when the torrent itself goes to standard output
};

constexpr const char *footer =
    "SIZE: 256K, 256KiB, 4M, 4MiB; a byte count from 16384; or 14 to 28 as the exponent\n"
    "(22 = 4 MiB). auto: at most 2,048 pieces, from 16 KiB up to 16 MiB or --max-piece-length.\n"
    "Presets: -P NAME reads --presets FILE (default $XDG_CONFIG_HOME/quillet/presets.yaml), in\n"
    "the layout of mkbrr's preset files; options given here override the preset.\n";

void add_options(CLI::App &app, create_request &request) {
    app.add_option("PATH", request.paths, "File or directory to share; one torrent each")
        ->type_name("")
        ->required();
    app.add_option("-o,--output", request.output,
                   "Output file (default NAME.torrent here); - for standard output; a directory "
                   "with several PATHs")
        ->type_name("FILE");
    app.add_flag("--force", request.force, "Replace an existing output");
    app.add_option("-t,--tracker", request.trackers,
                   "Announce URL (http, https, udp, wss); repeatable, commas make a tier")
        ->type_name("URL")
        ->allow_extra_args(false);
    app.add_option("-w,--webseed", request.webseeds, "Web seed URL; repeatable")
        ->type_name("URL")
        ->allow_extra_args(false);
    app.add_flag("-p,--private", request.is_private, "Private torrent: trackers only");
    app.add_option("-s,--source", request.source, "Source tag (private trackers ask for one)")
        ->type_name("TEXT");
    app.add_option("-n,--name", request.name, "Torrent name instead of the PATH's")
        ->type_name("NAME");
    app.add_option("-c,--comment", request.comment, "Comment")->type_name("TEXT");
    app.add_flag("--no-date", request.no_date, "No creation date: the same content, same bytes");
    app.add_option("--created-by", request.created_by, "Created by text")
        ->type_name("TEXT")
        ->capture_default_str();
    app.add_flag("--no-created-by", request.no_created_by, "No created by key");
    app.add_option("-f,--format", request.format, "v1, v2 or hybrid")
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"v1", "v2", "hybrid"}).description(""))
        ->capture_default_str();
    app.add_option("-l,--piece-length", request.piece_length, "SIZE or auto")
        ->type_name("SIZE")
        ->capture_default_str();
    app.add_option("--max-piece-length", request.max_piece_length,
                   "Largest piece length auto picks (default 16M)")
        ->type_name("SIZE");
    app.add_option("-x,--exclude", request.excludes,
                   "Leave out files and directories matching PATTERN; repeatable")
        ->type_name("PATTERN")
        ->allow_extra_args(false);
    app.add_option("--include", request.includes,
                   "Take only the files matching PATTERN; repeatable")
        ->type_name("PATTERN")
        ->allow_extra_args(false);
    app.add_flag("--hidden", request.hidden, "Take hidden files and directories too");
    app.add_option("-j,--threads", request.threads, "Hashing threads (default: every core)")
        ->type_name("N")
        ->check(CLI::Range(1U, 1024U).description(""));
    app.add_flag("--magnet", request.magnet, "Print the magnet link too");
    app.add_option("-P,--preset", request.preset, "Take the values of preset NAME")
        ->type_name("NAME");
    app.add_option("--presets", request.presets_file, "Presets file")->type_name("FILE");
    app.add_flag("-q,--quiet", request.quiet, "Print nothing (--json still prints)");
    app.add_flag("--json", request.json, "Print the results as JSON");
    app.footer(footer);
}

// The preset's values, for every option not given on the command line.
void apply_preset(const preset &chosen, const CLI::App &app, create_request &request) {
    const auto unless_given = [&app](const char *option, auto &field, const auto &value) {
        if (app.count(option) == 0) {
            field = value;
        }
    };
    if (!chosen.trackers.empty()) {
        unless_given("--tracker", request.trackers, chosen.trackers);
    }
    if (!chosen.webseeds.empty()) {
        unless_given("--webseed", request.webseeds, chosen.webseeds);
    }
    if (!chosen.exclude_patterns.empty()) {
        unless_given("--exclude", request.excludes, chosen.exclude_patterns);
    }
    if (!chosen.include_patterns.empty()) {
        unless_given("--include", request.includes, chosen.include_patterns);
    }
    if (chosen.is_private) {
        unless_given("--private", request.is_private, *chosen.is_private);
    }
    if (chosen.no_date) {
        unless_given("--no-date", request.no_date, *chosen.no_date);
    }
    if (chosen.source) {
        unless_given("--source", request.source, chosen.source);
    }
    if (chosen.comment) {
        unless_given("--comment", request.comment, chosen.comment);
    }
    if (chosen.piece_length_exponent) {
        unless_given("--piece-length", request.piece_length,
                     std::to_string(*chosen.piece_length_exponent));
    }
    if (chosen.max_piece_length_exponent) {
        unless_given("--max-piece-length", request.max_piece_length,
                     std::to_string(*chosen.max_piece_length_exponent));
    }
}

bool take_preset(const CLI::App &app, create_request &request) {
    if (request.preset.empty() && request.presets_file.empty()) {
        return true;
    }
    const std::string file =
        request.presets_file.empty() ? default_presets_path() : request.presets_file;
    const std::optional<preset> chosen = load_preset(file, request.preset, request.quiet);
    if (!chosen) {
        return false;
    }
    apply_preset(*chosen, app, request);
    return true;
}

// Whether every URL passes `check`; reports the first that does not, as a `kind` URL.
template <typename check_url>
bool all_usable(const std::vector<std::string> &urls, const char *kind, check_url check) {
    return std::all_of(urls.begin(), urls.end(), [&](const std::string &url) {
        const std::optional<std::string> problem = check(url);
        if (problem) {
            report_failure("%s URL '%s': %s\n", kind, url.c_str(), problem->c_str());
        }
        return !problem;
    });
}

bool urls_usable(const tracker_tiers &trackers, const std::vector<std::string> &webseeds) {
    return std::all_of(
               trackers.begin(), trackers.end(),
               [](const auto &tier) { return all_usable(tier, "tracker", tracker_url_problem); }) &&
           all_usable(webseeds, "web seed", web_seed_url_problem);
}

std::optional<std::int32_t> piece_length_or_fail(const std::string &text, const char *option) {
    const std::optional<std::int32_t> length = parse_piece_length(text);
    if (!length) {
        report_failure("%s %s: not a power of two from 16 KiB to 256 MiB (SIZE such as 256K or "
                       "4M, a byte count, or an exponent from 14 to 28)\n",
                       option, text.c_str());
    }
    return length;
}

torrent_format format_named(const std::string &word) {
    return word == "v2"       ? torrent_format::v2
           : word == "hybrid" ? torrent_format::hybrid
                              : torrent_format::v1;
}

// Checks what every torrent shares; false after one line on standard error.
bool make_plan(const create_request &request, create_plan &plan) {
    for (const std::string &value : request.trackers) {
        plan.trackers.push_back(split_tier(value));
    }
    if (!urls_usable(plan.trackers, request.webseeds)) {
        return false;
    }
    plan.format = format_named(request.format);
    if (request.piece_length != "auto") {
        plan.piece_length = piece_length_or_fail(request.piece_length, "--piece-length");
        if (!plan.piece_length) {
            return false;
        }
    }
    if (!request.max_piece_length.empty()) {
        const auto cap = piece_length_or_fail(request.max_piece_length, "--max-piece-length");
        if (!cap) {
            return false;
        }
        plan.max_piece_length = *cap;
    }
    if (request.name && !usable_torrent_name(*request.name)) {
        report_failure("--name must not be empty, \".\", \"..\" or contain \"/\"\n");
        return false;
    }
    if (request.paths.size() > 1 && (request.name || request.output == "-")) {
        report_failure("%s names one torrent: give one PATH\n", request.name ? "--name" : "-o -");
        return false;
    }
    if (request.output == "-") {
        plan.results = stderr;
    }
    return true;
}

// The torrent's name: the one given, else that of the directory "." or ".." resolves to, else
// the PATH's last component.
std::string torrent_name_for(const create_request &request, const std::string &path) {
    if (request.name) {
        return *request.name;
    }
    return resolved_directory_name(path.c_str()).value_or(std::string(torrent_name(path)));
}

std::string output_path_for(const create_request &request, const std::string &name) {
    if (request.output == "-") {
        return "/dev/stdout";
    }
    if (request.paths.size() > 1) {
        const std::string directory = request.output.empty() ? "." : request.output;
        return directory + "/" + name + ".torrent";
    }
    return request.output.empty() ? name + ".torrent" : request.output;
}

// The run's options for one PATH; the strings they point into live in `request` and `plan`.
run_options options_for(const create_request &request, const create_plan &plan,
                        const std::string &path, const std::string &output) {
    run_options options;
    options.input_path = path.c_str();
    options.output_path = output.c_str();
    options.format = plan.format;
    options.trackers = plan.trackers;
    for (const std::string &url : request.webseeds) {
        options.web_seeds.push_back(url.c_str());
    }
    for (const std::string &pattern : request.excludes) {
        options.excludes.push_back(pattern.c_str());
    }
    for (const std::string &pattern : request.includes) {
        options.includes.push_back(pattern.c_str());
    }
    options.comment = request.comment ? request.comment->c_str() : nullptr;
    options.source = request.source ? request.source->c_str() : nullptr;
    options.name = request.name ? request.name->c_str() : nullptr;
    if (!request.name) {
        options.resolved_name = resolved_directory_name(path.c_str()).value_or("");
    }
    options.created_by = request.no_created_by ? nullptr : request.created_by.c_str();
    options.is_private = request.is_private;
    options.no_date = request.no_date;
    // v2 and hybrid list files in the order of their file tree, names ascending at every level.
    options.sorted = plan.format != torrent_format::v1;
    options.whole_path_order = plan.format == torrent_format::v1;
    options.strict = true;
    options.hidden_left_out = !request.hidden;
    options.inclusive = request.hidden;
    options.hash_threads = request.threads;
    options.notices_on_stdout = false;
    options.quiet = request.quiet;
    options.replace_output = request.force;
    options.keep_output_on_failure = true;
    return options;
}

// What one finished torrent reports.
struct torrent_result {
    std::string torrent;
    std::string name;
    info_hashes hashes;
    std::string magnet;
    std::int64_t size = 0;
    std::int64_t files = 0;
    std::int32_t piece_length = 0;
    std::int64_t piece_count = 0;
    double seconds = 0;
};

// v1 cuts the content as one stream; v2 and hybrid start every file on a piece of its own.
std::int64_t pieces_of(const content_scan &content, std::int32_t piece_length,
                       torrent_format format) {
    if (format == torrent_format::v1) {
        return piece_count(content.bytes, piece_length);
    }
    return std::accumulate(content.file_sizes.begin(), content.file_sizes.end(), std::int64_t{0},
                           [piece_length](std::int64_t sum, std::int64_t size) {
                               return sum + piece_count(size, piece_length);
                           });
}

file_identity existing_file(const std::string &path) {
    struct stat status = {};
    if (stat(path.c_str(), &status) != 0) {
        return {};
    }
    return regular_file_identity(status);
}

// Makes the torrent of one PATH; nothing after one line on standard error.
std::optional<torrent_result> create_one(const create_request &request, const create_plan &plan,
                                         const std::string &path) {
    const auto started = std::chrono::steady_clock::now();
    const std::string name = torrent_name_for(request, path);
    // The root directory's name would be "/", which no client can make a file or folder of.
    if (!usable_torrent_name(name)) {
        report_failure("%s has no name for the torrent: use --name to give one\n", path.c_str());
        return std::nullopt;
    }
    const std::string output = output_path_for(request, name);
    if (request.output != "-" && !output_may_be_written(output, request.force)) {
        return std::nullopt;
    }
    run_options options = options_for(request, plan, path, output);
    content_scan content;
    if (scan_content(options, existing_file(output), content) != 0) {
        return std::nullopt;
    }
    if (content.file_sizes.empty() || content.bytes == 0) {
        report_failure("nothing to share in %s\n", path.c_str());
        return std::nullopt;
    }
    options.piece_length =
        plan.piece_length.value_or(auto_piece_length(content.bytes, plan.max_piece_length));
    options.expected_bytes = content.bytes;
    options.expected_files = static_cast<std::int64_t>(content.file_sizes.size());
    torrent_result result;
    if (write_metainfo(options, &result.hashes) != 0) {
        return std::nullopt;
    }
    result.torrent = request.output == "-" ? "-" : output;
    result.name = name;
    result.magnet = magnet_link(result.hashes, name, plan.trackers);
    result.size = content.bytes;
    result.files = options.expected_files;
    result.piece_length = options.piece_length;
    result.piece_count = pieces_of(content, options.piece_length, plan.format);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return result;
}

nlohmann::ordered_json hash_or_null(const auto &hash) {
    return hash ? nlohmann::ordered_json(lower_hex(*hash)) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json json_of(const torrent_result &result) {
    return {{"torrent", result.torrent},
            {"name", result.name},
            {"info_hash_v1", hash_or_null(result.hashes.v1)},
            {"info_hash_v2", hash_or_null(result.hashes.v2)},
            {"magnet", result.magnet},
            {"size", result.size},
            {"files", result.files},
            {"piece_length", result.piece_length},
            {"piece_count", result.piece_count},
            {"seconds", result.seconds}};
}

void print_text(std::FILE *stream, const torrent_result &result, bool magnet) {
    std::fprintf(stream, "torrent       %s\n", result.torrent.c_str());
    if (result.hashes.v1) {
        std::fprintf(stream, "info hash v1  %s\n", lower_hex(*result.hashes.v1).c_str());
    }
    if (result.hashes.v2) {
        std::fprintf(stream, "info hash v2  %s\n", lower_hex(*result.hashes.v2).c_str());
    }
    if (magnet) {
        std::fprintf(stream, "magnet        %s\n", result.magnet.c_str());
    }
}

// One JSON object for one PATH, an array of them for several.
void print_json(std::FILE *stream, const std::vector<torrent_result> &results, bool several) {
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    std::transform(results.begin(), results.end(), std::back_inserter(all), json_of);
    const nlohmann::ordered_json &shown = several ? all : all.front();
    std::fprintf(stream, "%s\n", shown.dump(2).c_str());
}

// Makes every torrent asked for, stopping at the first that fails.
int create_all(const create_request &request, const create_plan &plan) {
    std::vector<torrent_result> results;
    int status = 0;
    for (const std::string &path : request.paths) {
        std::optional<torrent_result> result = create_one(request, plan, path);
        if (!result) {
            status = 1;
            break;
        }
        if (!request.json && !request.quiet) {
            print_text(plan.results, *result, request.magnet);
            std::fflush(plan.results);
        }
        results.push_back(std::move(*result));
    }
    if (request.json && !results.empty()) {
        print_json(plan.results, results, request.paths.size() > 1);
    }
    return status;
}

int parse_and_create(int argc, char **argv) {
    create_request request;
    CLI::App app{"Make a torrent of each PATH.", "quillet create"};
    add_options(app, request);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        return app.exit(error) == 0 ? 0 : 1;
    }
    if (!take_preset(app, request)) {
        return 1;
    }
    create_plan plan;
    if (!make_plan(request, plan)) {
        return 1;
    }
    hold_memory_reserve();
    return create_all(request, plan);
}
} // namespace

int run_create(int argc, char **argv) {
    try {
        return parse_and_create(argc, argv);
    } catch (const std::bad_alloc &) {
        report_failure("out of memory\n");
        return 1;
    }
}
