#include "commands/command.h"
#include "commands/torrent_input.h"
#include "commands/verify_content.h"
#include "commands/verify_layout.h"
#include "commands/verify_torrent.h"
#include "common/progress.h"
#include "common/terminal_text.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

namespace {
// 0: every file intact; 1: the check could not run; 2: content missing, of the wrong size,
// unreadable or damaged.
constexpr int exit_intact = 0;
constexpr int exit_could_not_run = 1;
constexpr int exit_content_bad = 2;

struct verify_options {
    std::string torrent;
    std::string content; // empty: the torrent's name beside the torrent file
    bool all = false;
    bool json = false;
    bool quiet = false;
};

// ------------------------------------------------------------------------- the verdicts ---

struct check_result {
    std::vector<file_verdict> verdicts;
    std::uint64_t pieces_total = 0;
    std::uint64_t pieces_good = 0;
    std::uint64_t disagreements = 0; // hybrid: pieces that one hash passes and the other fails
};

// v2 and hybrid: every file starts a piece of its own, so a bad piece is the file's alone.
void add_tree_verdicts(const content_layout &layout, const std::vector<found_file> &found,
                       const content_findings &findings, check_result &result) {
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < layout.files.size(); ++i) {
        const expected_file &file = layout.files[i];
        const std::uint64_t first_piece = offset / layout.piece_length;
        offset += file.size;
        if (file.pad)
            continue;
        std::vector<std::uint64_t> bad = findings.v2_bad[i];
        if (layout.kind == check_kind::hybrid) {
            std::vector<std::uint64_t> by_v1;
            for (std::uint64_t piece = 0; piece < pieces_of(file.size, layout.piece_length);
                 ++piece)
                if (findings.v1_bad[first_piece + piece])
                    by_v1.push_back(piece);
            std::vector<std::uint64_t> either;
            std::set_union(bad.begin(), bad.end(), by_v1.begin(), by_v1.end(),
                           std::back_inserter(either));
            std::vector<std::uint64_t> both;
            std::set_intersection(bad.begin(), bad.end(), by_v1.begin(), by_v1.end(),
                                  std::back_inserter(both));
            result.disagreements += either.size() - both.size();
            bad = std::move(either);
        }
        result.pieces_total += pieces_of(file.size, layout.piece_length);
        result.pieces_good += pieces_of(file.size, layout.piece_length) - bad.size();
        file_verdict &verdict = result.verdicts[i];
        verdict.bad = ranges_of_file_pieces(bad, file.size, layout.piece_length);
        verdict.status = found[i].status != file_status::intact ? found[i].status
                         : verdict.bad.empty()                  ? file_status::intact
                                                                : file_status::damaged;
    }
}

check_result verdicts_of(const content_layout &layout, const std::vector<found_file> &found,
                         const content_findings &findings) {
    check_result result;
    if (layout.kind == check_kind::v1) {
        result.verdicts = v1_verdicts(layout, found, findings.v1_bad);
        result.pieces_total = findings.v1_bad.size();
        result.pieces_good = static_cast<std::uint64_t>(
            std::count(findings.v1_bad.begin(), findings.v1_bad.end(), false));
        return result;
    }
    result.verdicts.resize(layout.files.size());
    add_tree_verdicts(layout, found, findings, result);
    return result;
}

bool all_intact(const content_layout &layout, const check_result &result) {
    for (std::size_t i = 0; i < layout.files.size(); ++i)
        if (!layout.files[i].pad && result.verdicts[i].status != file_status::intact)
            return false;
    return true;
}

// --------------------------------------------------------------------------- the output ---

struct run_report {
    const verify_options &options;
    const content_layout &layout;
    const std::vector<found_file> &found;
    const check_result &result;
    double seconds = 0;
};

std::string ranges_text(const std::vector<byte_range> &ranges) {
    std::string text;
    for (const byte_range &range : ranges)
        text += (text.empty() ? " bytes [" : ", [") + std::to_string(range.start) + ", " +
                std::to_string(range.end) + ")";
    return text;
}

std::string detail_of(const expected_file &file, const found_file &found,
                      const file_verdict &verdict) {
    switch (verdict.status) {
    case file_status::wrong_size:
        return " (" + std::to_string(file.size) + " bytes expected, " +
               std::to_string(found.found_size) + " found)";
    case file_status::unreadable:
    case file_status::missing:
        return " (" + reason_text(found) + ")";
    case file_status::damaged:
        return ":" + ranges_text(verdict.bad);
    case file_status::suspect:
        return ":" + ranges_text(verdict.bad) + " (a bad piece also covers other files)";
    case file_status::intact:
        break;
    }
    return "";
}

void print_text(const run_report &report) {
    const content_layout &layout = report.layout;
    std::size_t intact = 0;
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < layout.files.size(); ++i) {
        const expected_file &file = layout.files[i];
        if (file.pad)
            continue;
        ++files;
        bytes += file.size;
        const file_verdict &verdict = report.result.verdicts[i];
        intact += verdict.status == file_status::intact ? 1 : 0;
        if (verdict.status != file_status::intact || report.options.all)
            std::printf("%-11s %s%s\n", status_name(verdict.status),
                        terminal_escaped(layout.shown(i)).c_str(),
                        terminal_escaped(detail_of(file, report.found[i], verdict)).c_str());
    }
    if (report.result.disagreements > 0)
        std::printf("the v1 and v2 hashes disagree on %" PRIu64 " piece%s\n",
                    report.result.disagreements, report.result.disagreements == 1 ? "" : "s");
    const double rate = report.seconds > 0 ? static_cast<double>(bytes) / report.seconds / 1e6 : 0;
    std::printf("%zu of %zu files intact, %" PRIu64 " of %" PRIu64 " pieces good, %" PRIu64
                " bytes in %.2f s (%.1f MB/s)\n",
                intact, files, report.result.pieces_good, report.result.pieces_total, bytes,
                report.seconds, rate);
}

// Each line of `text` indented by `width` spaces.
std::string indented(const std::string &text, std::size_t width) {
    const std::string margin(width, ' ');
    std::string out = margin;
    for (const char c : text) {
        out += c;
        if (c == '\n')
            out += margin;
    }
    return out;
}

std::string json_text(const nlohmann::ordered_json &value) {
    return value.dump();
}

// Laid out as dump(2) lays out the whole report, but written a file at a time: the report of a
// torrent of many files, held whole, would take more memory than the check itself.
void print_json(const run_report &report) {
    std::printf("{\n  \"torrent\": %s,\n  \"content\": %s,\n  \"status\": %s,\n  \"files\": [",
                json_text(utf8_escaped(report.options.torrent)).c_str(),
                json_text(utf8_escaped(report.layout.content_path)).c_str(),
                json_text(all_intact(report.layout, report.result) ? "intact" : "damaged").c_str());
    bool first = true;
    for (std::size_t i = 0; i < report.layout.files.size(); ++i) {
        const expected_file &file = report.layout.files[i];
        if (file.pad)
            continue;
        const std::vector<byte_range> &bad = report.result.verdicts[i].bad;
        nlohmann::ordered_json ranges = nlohmann::ordered_json::array();
        std::transform(bad.begin(), bad.end(), std::back_inserter(ranges),
                       [](const byte_range &range) {
                           return nlohmann::ordered_json{range.start, range.end};
                       });
        const nlohmann::ordered_json entry = {
            {"path", utf8_escaped(report.layout.shown(i))},
            {"size", file.size},
            {"status", status_name(report.result.verdicts[i].status)},
            {"bad_ranges", std::move(ranges)}};
        std::printf("%s\n%s", first ? "" : ",", indented(entry.dump(2), 4).c_str());
        first = false;
    }
    std::printf("%s,\n  \"pieces_good\": %s,\n  \"pieces_total\": %s,\n  \"seconds\": %s\n}\n",
                first ? "]" : "\n  ]", json_text(report.result.pieces_good).c_str(),
                json_text(report.result.pieces_total).c_str(), json_text(report.seconds).c_str());
}

void declare_options(CLI::App &app, verify_options &options) {
    app.add_option("TORRENT", options.torrent, "the torrent file")->required();
    app.add_option("PATH", options.content,
                   "the content: the file itself, or the folder that holds the torrent's files "
                   "(default: the torrent's name beside the torrent file)");
    app.add_flag("-a,--all", options.all, "list intact files too");
    app.add_flag("-j,--json", options.json, "one JSON object listing every file");
    app.add_flag("-q,--quiet", options.quiet, "print nothing; the exit status tells");
    app.footer(
        "Exit status: 0 when every file is intact, 1 when the check could not run (usage, a\n"
        "torrent that cannot be read or is not valid, a path in it that leaves PATH), 2 when\n"
        "content is missing, of the wrong size, unreadable or damaged.\n"
        "A v1 file is suspect when a bad piece also covers another file: v1 hashes cannot tell\n"
        "which one holds the fault. Names are shown with non-UTF-8 bytes and control characters\n"
        "as \\xHH; bad ranges are half-open byte ranges within the file.");
}

int refuse(const verify_options &options, const refusal &why) {
    if (!options.quiet)
        std::fprintf(stderr, "quillet verify: %s: %s\n", terminal_escaped(options.torrent).c_str(),
                     terminal_escaped(why.text).c_str());
    return exit_could_not_run;
}

int verify(const verify_options &options) {
    loaded_torrent loaded;
    if (const auto refused = load_checkable(options.torrent, loaded))
        return refuse(options, *refused);
    content_layout layout;
    if (const auto refused = layout_of(loaded, options.torrent, options.content, layout))
        return refuse(options, *refused);
    keep_what_the_layout_reads(loaded, layout);
    const auto started = std::chrono::steady_clock::now();
    std::vector<found_file> found = size_pass(layout);
    if (!options.quiet)
        progress_start(static_cast<std::int64_t>(bytes_to_hash(layout, found)));
    const content_findings findings = check_content(layout, found);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    progress_stop();
    if (!findings.failure.empty()) {
        if (!options.quiet)
            std::fprintf(stderr, "quillet verify: %s\n",
                         terminal_escaped(findings.failure).c_str());
        return exit_content_bad;
    }
    const check_result result = verdicts_of(layout, found, findings);
    const run_report report{options, layout, found, result, took.count()};
    if (options.json && !options.quiet)
        print_json(report);
    else if (!options.quiet)
        print_text(report);
    return all_intact(layout, result) && result.disagreements == 0 ? exit_intact : exit_content_bad;
}
} // namespace

int run_verify(int argc, char **argv) {
    CLI::App app("Check content against a torrent, file by file.", "quillet verify");
    verify_options options;
    declare_options(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        return app.exit(error) == 0 ? exit_intact : exit_could_not_run;
    }
    return verify(options);
}
