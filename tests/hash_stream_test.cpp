// The hashing stream driven in-process: content fed in awkward parts, from files and as bytes,
// its digests checked against OpenSSL's SHA-1 of each piece; the ways a feed fails; and the
// arithmetic of the hashing plan.
#include "common/handles.h"
#include "hash/hash_plan.h"
#include "hash/hash_workers.h"
#include "hash/map_choice.h"
#include "hash/piece_stream.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

using namespace harness;

namespace {

constexpr std::int64_t mib = std::int64_t{1} << 20;

// ---------------------------------------------------------------------------
// The plan: what it promises at every piece length, content size and number of processors,
// rather than the counts it arrives at.

// The most buffer a plan can hold at once: every slot holding the larger of a batch and a lane
// group, or the long-piece path's chunk beside its groups.
std::int64_t planned_buffer_bytes(const hash_plan &plan) {
    const auto group = static_cast<std::int64_t>(plan.lanes.chunk * 16);
    const auto slots =
        static_cast<std::int64_t>(std::max(plan.batches_in_flight, plan.lanes.slots));
    const std::int64_t unit = std::max(static_cast<std::int64_t>(plan.buffer_bytes), group);
    return slots * unit + static_cast<std::int64_t>(plan.long_piece_chunk);
}

TEST(plan_rule, memory_threads_and_small_content) {
    const std::int64_t piece_lengths[] = {1,        16384,      262144,   mib,
                                          mib + 1,  3 * mib,    16 * mib, 16 * mib + 1,
                                          64 * mib, 1024 * mib, INT32_MAX};
    const unsigned processors[] = {1, 2, 3, 8, 64};
    for (const std::int64_t piece_length : piece_lengths) {
        for (const std::int64_t content :
             {std::int64_t{-1}, std::int64_t{1000}, piece_length, 17 * piece_length + 1}) {
            for (const unsigned cpus : processors) {
                SCOPED_TRACE(std::to_string(piece_length) + " bytes a piece, content " +
                             std::to_string(content) + ", " + std::to_string(cpus) + " cpus");
                const hash_plan plan =
                    plan_hashing({static_cast<std::int32_t>(piece_length), content, cpus});
                // A run's anonymous memory stays within 64 MiB: the buffers take at most 52.
                EXPECT_LE(planned_buffer_bytes(plan), 52 * mib);
                // Never a thread more than the processors besides the reader's.
                const unsigned threads = std::max(plan.hasher_threads, plan.lanes.threads);
                EXPECT_LE(threads, cpus - 1);
                // Two processors or more always hash on both, unless the content is one unit.
                const bool one_unit =
                    content >= 0 &&
                    content <= std::max<std::int64_t>(plan.batch_bytes, piece_length);
                if (cpus > 1 && !one_unit) {
                    EXPECT_GE(threads, 1U);
                }
                // A small content costs at most its own size.
                if (content == 1000 && !has_long_pieces(plan)) {
                    EXPECT_LE(plan.buffer_bytes, 1000U);
                }
                // Pieces are whole in a batch, up to the widest kernel's 16.
                if (!has_long_pieces(plan)) {
                    EXPECT_GE(plan.pieces_per_batch, 1U);
                    EXPECT_LE(plan.pieces_per_batch, 16U);
                    EXPECT_EQ(plan.batch_bytes,
                              plan.pieces_per_batch * static_cast<std::size_t>(piece_length));
                }
            }
        }
    }
}

// A smaller content takes smaller batches, down to the kernel's lanes, so that the ring stays
// within a 16th of it; unknown, large or all-mapped content keeps 16 pieces.
TEST(plan_rule, batches_shrink_with_the_content_down_to_the_kernel_lanes) {
    struct case_row {
        std::int64_t content;
        std::size_t lanes;
        bool mapped;
        std::size_t pieces;
    };
    const case_row rows[] = {
        {-1, 4, false, 16},       {4096 * mib, 4, false, 16}, {256 * mib, 4, false, 16},
        {128 * mib, 4, false, 8}, {128 * mib, 8, false, 8},   {64 * mib, 4, false, 4},
        {64 * mib, 1, false, 4},  {64 * mib, 16, false, 16},  {20 * mib, 4, false, 4},
        {20 * mib, 1, false, 1},  {64 * mib, 4, true, 16},
    };
    for (const case_row &row : rows) {
        SCOPED_TRACE(std::to_string(row.content) + " bytes, " + std::to_string(row.lanes) +
                     " lanes" + (row.mapped ? ", mapped" : ""));
        const hash_plan plan = plan_hashing({262144, row.content, 2, row.lanes, row.mapped});
        EXPECT_EQ(plan.pieces_per_batch, row.pieces);
        EXPECT_EQ(plan.batch_bytes, row.pieces * 262144U);
    }
}

// ---------------------------------------------------------------------------
// Feeding the stream

enum class source { files, bytes };

struct outcome {
    feed_status status = feed_status::ok; // the first failure, or ok after finishing
    std::string digests;
    int sink_calls = 0;
    std::int64_t bytes = 0;
    std::vector<std::size_t> delivered; // digests per sink call
};

// A sink that keeps what it is handed and refuses its call number `refuse_call` (from 1).
digest_sink keeping_sink(outcome &out, int refuse_call = 0) {
    return [&out, refuse_call](const unsigned char *digests, std::size_t n) {
        out.digests.append(reinterpret_cast<const char *>(digests), n * 20);
        out.delivered.push_back(n);
        return ++out.sink_calls != refuse_call;
    };
}

// Feeds `part` as a file that claims to be `announced` bytes long, or as bytes.
feed_status feed_part(piece_stream &stream, source from, const temp_dir &dir,
                      const std::string &part, std::int64_t announced) {
    if (from == source::bytes) {
        return piece_stream_feed_bytes(stream, reinterpret_cast<const unsigned char *>(part.data()),
                                       part.size());
    }
    write_file(dir / "part", part);
    const fd_owner input(open((dir / "part").c_str(), O_RDONLY | O_CLOEXEC));
    return piece_stream_feed(stream, input.fd, announced);
}

// Runs `content` through a stream in parts that end at `cuts`; the first part, as a file,
// announces `lie` bytes more than it holds. The sink refuses its call number `refuse_call`
// (counted from 1; 0 refuses none).
outcome run_stream(const hash_plan &plan, source from, const std::string &content,
                   const std::vector<std::int64_t> &cuts, std::int64_t lie = 0,
                   int refuse_call = 0) {
    outcome out;
    piece_stream_ptr stream = piece_stream_start(plan, keeping_sink(out, refuse_call));
    EXPECT_TRUE(stream);
    if (!stream) {
        return out;
    }
    const temp_dir dir;
    std::int64_t start = 0;
    for (std::size_t i = 0; i <= cuts.size() && out.status == feed_status::ok; ++i) {
        const std::int64_t end =
            i < cuts.size() ? cuts[i] : static_cast<std::int64_t>(content.size());
        const std::string part = content.substr(start, end - start);
        out.status = feed_part(*stream, from, dir, part, end - start + (i == 0 ? lie : 0));
        start = end;
    }
    if (out.status == feed_status::ok) {
        out.status = piece_stream_finish(*stream);
    }
    out.bytes = piece_stream_bytes(*stream);
    return out;
}

// Pseudo-random content, made once per size for the whole test run.
const std::string &content_of(std::int64_t size) {
    static std::map<std::int64_t, std::string> made;
    auto found = made.find(size);
    if (found == made.end()) {
        found = made.emplace(size, random_bytes(static_cast<std::size_t>(size), 9)).first;
    }
    return found->second;
}

struct feed_case {
    const char *what;
    std::int32_t piece_length;
    std::int64_t size;
    std::vector<std::int64_t> cuts; // where one feed ends and the next begins
    bool limit_known;
    unsigned processors;
};

class feeding : public ::testing::TestWithParam<std::tuple<feed_case, source>> {};

TEST_P(feeding, digests_match_each_piece) {
    const auto &[c, from] = GetParam();
    const std::string &content = content_of(c.size);
    const hash_plan plan =
        plan_hashing({c.piece_length, c.limit_known ? c.size : -1, c.processors});
    const outcome out = run_stream(plan, from, content, c.cuts);
    EXPECT_EQ(out.status, feed_status::ok);
    EXPECT_EQ(out.bytes, c.size);
    EXPECT_TRUE(out.digests == expected_pieces(content, c.piece_length))
        << out.digests.size() / 20 << " digests, not all as expected";
}

const feed_case feed_cases[] = {
    {"piece_length_1", 1, 100, {0, 1, 1, 38}, false, 2},
    {"pieces_of_64_cut_on_and_off_borders", 64, 3077, {63, 64, 1024, 1025, 2048}, false, 2},
    {"pieces_of_65_many_hashers", 65, 26064, {1, 1039, 1040, 1041, 20000}, false, 8},
    {"default_length_known_size", 262144, 12 * mib + 100, {}, true, 2},
    {"cut_across_batches", 262144, 9 * mib - 1, {262143, 4 * mib, 4 * mib + 1}, false, 2},
    {"uneven_batches_reader_alone", 5000, 404321, {79999, 160001, 300000}, false, 1},
    {"pieces_not_dividing_the_budget", 3 * mib + 1, 11 * (3 * mib + 1) + 17, {}, true, 4},
    {"less_than_a_batch_known_size", 262144, 1000, {}, true, 2},
    {"nothing_fed", 262144, 0, {0}, false, 2},
    {"nothing_fed_known_size", 262144, 0, {}, true, 2},
    // Pieces too long to batch: more than one of them, then a partial one.
    {"long_32_MiB_and_1", 32 * mib + 1, 96 * mib + 1003, {1, 32 * mib + 1, 70 * mib}, false, 2},
    {"long_33_MiB_known_size", 33 * mib, 66 * mib + 12345, {4 * mib - 1, 66 * mib}, true, 2},
};
INSTANTIATE_TEST_SUITE_P(cases, feeding,
                         ::testing::Combine(::testing::ValuesIn(feed_cases),
                                            ::testing::Values(source::files, source::bytes)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).what) +
                                    (std::get<1>(info.param) == source::files ? "_from_files"
                                                                              : "_as_bytes");
                         });

// ---------------------------------------------------------------------------
// Failed feeds

struct failure_case {
    const char *what;
    std::int32_t piece_length;
    std::int64_t size; // fed in two parts, cut at `cut`
    std::int64_t cut;
    source from;
    std::int64_t lie;   // bytes the first file claims beyond what it holds
    std::int64_t limit; // the size the stream is told of, or -1
    int refuse_call;    // the sink's call that returns false, or 0
    feed_status expected;
};

class failing : public ::testing::TestWithParam<failure_case> {};

TEST_P(failing, stops_with_the_reason) {
    const failure_case &c = GetParam();
    const outcome out = run_stream(plan_hashing({c.piece_length, c.limit, 2}), c.from,
                                   content_of(c.size), {c.cut}, c.lie, c.refuse_call);
    EXPECT_EQ(out.status, c.expected);
    if (c.refuse_call > 0) {
        EXPECT_EQ(out.sink_calls, c.refuse_call) << "the sink was called after refusing";
    }
}

constexpr auto changed = feed_status::changed;
constexpr auto refused = feed_status::sink_failed;
constexpr std::int32_t grouped = mib + 64; // the shortest piece read in lane groups, and then some
const failure_case failure_cases[] = {
    // 2 whole pieces of the first file go to a group: a missing third piece is found by the
    // group's read, a missing or extra byte after them by the read in order.
    {"grouped_file_shorter_by_a_piece", grouped, 3 * grouped + 10, 2 * grouped + 1, source::files,
     grouped, -1, 0, changed},
    {"grouped_file_shorter_after_groups", grouped, 3 * grouped + 10, 2 * grouped + 1, source::files,
     1, -1, 0, changed},
    {"grouped_file_longer_after_groups", grouped, 3 * grouped + 10, 2 * grouped + 1, source::files,
     -1, -1, 0, changed},
    {"sink_refuses_a_group", grouped, 3 * std::int64_t{grouped}, 2 * std::int64_t{grouped},
     source::files, 0, -1, 1, refused},
    {"file_shorter_than_announced", 64, 1000, 500, source::files, 1, -1, 0, changed},
    {"file_longer_than_announced", 64, 1000, 500, source::files, -1, -1, 0, changed},
    {"file_longer_than_a_whole_batch", 64, 2049, 1025, source::files, -1, -1, 0, changed},
    {"long_piece_file_shorter", 33 * mib, 1000, 500, source::files, 1, -1, 0, changed},
    {"long_piece_file_longer", 33 * mib, 1000, 500, source::files, -1, -1, 0, changed},
    {"bytes_beyond_the_known_size", 64, 1000, 500, source::bytes, 0, 999, 0, changed},
    {"sink_refuses_the_last_batch", 64, 1000, 500, source::bytes, 0, -1, 1, refused},
    {"sink_refuses_while_reading", 64, 20480, 5000, source::files, 0, -1, 2, refused},
    {"sink_refuses_a_long_piece", 33 * mib, 33 * mib + 10, 2 * mib, source::bytes, 0, -1, 1,
     refused},
};
INSTANTIATE_TEST_SUITE_P(cases, failing, ::testing::ValuesIn(failure_cases),
                         [](const auto &info) { return std::string(info.param.what); });

TEST(failing_read, directory_as_a_file_is_a_read_error) {
    for (const std::int32_t piece_length : {262144, 33 * 1024 * 1024}) {
        const piece_stream_ptr stream =
            piece_stream_start(piece_length, -1, hash_thread_count(),
                               [](const unsigned char *, std::size_t) { return true; });
        ASSERT_TRUE(stream);
        const fd_owner directory(open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_GE(directory.fd, 0);
        EXPECT_EQ(piece_stream_feed(*stream, directory.fd, 10), feed_status::read_error);
    }
}

// A read error met by a group's thread reaches the caller with its cause as a value, whatever
// errno the calling thread holds afterwards.
TEST(failing_read, grouped_read_error_keeps_its_cause) {
    const piece_stream_ptr stream = piece_stream_start(
        grouped, -1, hash_thread_count(), [](const unsigned char *, std::size_t) { return true; });
    ASSERT_TRUE(stream);
    const fd_owner directory(open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_GE(directory.fd, 0);
    EXPECT_EQ(piece_stream_feed(*stream, directory.fd, 17 * std::int64_t{grouped}),
              feed_status::read_error);
    errno = 0;
    EXPECT_EQ(piece_stream_read_error(*stream), EISDIR);
}

// ---------------------------------------------------------------------------
// The choice between reading a large file and mapping it: untimed reads through the warm-up,
// then trial windows alternately mapped and read, each kind standing by its cheapest; a clear
// loss on the first pair ends the trial at once.

struct choice_case {
    const char *what;
    std::vector<double> mapped; // cost per byte of each trial window of the kind, in order
    std::vector<double> read;
    content_source chosen;
    int trial_windows;
};

constexpr std::size_t window_bytes = 4 << 20;

// Plays the trial with each window's cost told back at once; returns the windows it took.
int play_trial(map_choice &choice, const choice_case &c) {
    std::size_t mapped = 0;
    std::size_t read = 0;
    int windows = 0;
    for (window_turn turn = choice.next(window_bytes); turn.timed;
         turn = choice.next(window_bytes)) {
        const bool is_mapped = turn.source == content_source::mapped;
        const std::vector<double> &costs = is_mapped ? c.mapped : c.read;
        std::size_t &taken = is_mapped ? mapped : read;
        EXPECT_LT(taken, costs.size()) << "window " << windows;
        if (taken >= costs.size()) {
            break;
        }
        choice.record(turn.source, static_cast<std::int64_t>(costs[taken++] * window_bytes),
                      window_bytes);
        ++windows;
    }
    return windows;
}

TEST(map_choice, cheapest_window_of_each_kind_decides) {
    const choice_case cases[] = {
        {"mapped_clearly_cheaper",
         {0.30, 0.31, 0.29, 0.30},
         {0.36, 0.35, 0.37, 0.36},
         content_source::mapped,
         8},
        {"within_five_percent_reads",
         {0.35, 0.34, 0.35, 0.35},
         {0.36, 0.35, 0.36, 0.36},
         content_source::read,
         8},
        {"a_slow_window_does_not_decide",
         {0.50, 0.30, 0.50, 0.50},
         {0.36, 0.40, 0.36, 0.36},
         content_source::mapped,
         8},
        {"clear_loss_on_the_first_pair", {0.90}, {0.36}, content_source::read, 2},
    };
    for (const choice_case &c : cases) {
        SCOPED_TRACE(c.what);
        map_choice choice;
        for (std::int64_t warm = 0; warm < map_choice::warm_up_bytes; warm += window_bytes) {
            const window_turn turn = choice.next(window_bytes);
            EXPECT_FALSE(turn.timed);
            EXPECT_EQ(turn.source, content_source::read);
        }
        EXPECT_EQ(play_trial(choice, c), c.trial_windows);
        const window_turn after = choice.next(window_bytes);
        EXPECT_FALSE(after.timed);
        EXPECT_EQ(after.source, c.chosen);
    }
}

TEST(map_choice, windows_awaiting_their_costs_and_refusals_read) {
    map_choice choice;
    for (std::int64_t warm = 0; warm < map_choice::warm_up_bytes; warm += window_bytes) {
        choice.next(window_bytes);
    }
    for (int window = 0; window < 2 * map_choice::samples; ++window) {
        const window_turn turn = choice.next(window_bytes);
        EXPECT_TRUE(turn.timed);
        EXPECT_EQ(turn.source, window % 2 == 0 ? content_source::mapped : content_source::read);
    }
    const window_turn pending = choice.next(window_bytes);
    EXPECT_FALSE(pending.timed);
    EXPECT_EQ(pending.source, content_source::read);
    // Mapping far cheaper, but refused before its last cost is back: reading stands.
    for (int sample = 0; sample < map_choice::samples; ++sample) {
        choice.record(content_source::read, 4 * window_bytes, window_bytes);
    }
    for (int sample = 1; sample < map_choice::samples; ++sample) {
        choice.record(content_source::mapped, window_bytes, window_bytes);
    }
    choice.refused();
    choice.record(content_source::mapped, window_bytes, window_bytes);
    const window_turn refused = choice.next(window_bytes);
    EXPECT_FALSE(refused.timed);
    EXPECT_EQ(refused.source, content_source::read);
}

// ---------------------------------------------------------------------------
// Lane groups, with a chunk small enough that piece lengths around it and its multiples are
// cheap. Batches hold 3 pieces, so a group shows in the digests the sink is handed at once.

constexpr std::size_t small_chunk = 128;

hash_plan lane_plan(std::int32_t piece_length, bool long_path) {
    hash_plan plan = plan_hashing({piece_length, -1, 2});
    plan.pieces_per_batch = 3;
    plan.batch_bytes = plan.buffer_bytes = 3 * static_cast<std::size_t>(piece_length);
    plan.path =
        long_path ? stream_path::lane_groups_and_long_pieces : stream_path::batches_and_lane_groups;
    plan.long_piece_chunk = 100; // a piece spanning files takes several reads
    plan.lanes = {small_chunk, plan.batches_in_flight, 1};
    return plan;
}

// One feed: a file holding `size` bytes after `skipped` bytes that its position is already
// past, or bytes.
struct part {
    std::int64_t size;
    bool as_bytes = false;
    std::int64_t skipped = 0;
};

outcome run_parts(const hash_plan &plan, const std::string &content,
                  const std::vector<part> &parts) {
    outcome out;
    piece_stream_ptr stream = piece_stream_start(plan, keeping_sink(out));
    const temp_dir dir;
    std::size_t start = 0;
    for (const part &p : parts) {
        const std::string bytes = content.substr(start, static_cast<std::size_t>(p.size));
        start += bytes.size();
        if (p.as_bytes) {
            out.status = piece_stream_feed_bytes(
                *stream, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
        } else {
            write_file(dir / "part", std::string(static_cast<std::size_t>(p.skipped), 'x') + bytes);
            const fd_owner input(open((dir / "part").c_str(), O_RDONLY | O_CLOEXEC));
            EXPECT_EQ(lseek(input.fd, p.skipped, SEEK_SET), p.skipped);
            out.status = piece_stream_feed(*stream, input.fd, p.size);
        }
        if (out.status != feed_status::ok) {
            return out;
        }
    }
    out.status = piece_stream_finish(*stream);
    out.bytes = piece_stream_bytes(*stream);
    return out;
}

std::int64_t total_size(const std::vector<part> &parts) {
    std::int64_t total = 0;
    for (const part &p : parts) {
        total += p.size;
    }
    return total;
}

struct lanes_case {
    const char *what;
    std::int32_t piece_length;
    bool long_path; // pieces spanning feeds take the long-piece path rather than batches
    std::vector<part> parts;
};

class lane_groups : public ::testing::TestWithParam<lanes_case> {};

TEST_P(lane_groups, digests_match_each_piece) {
    const lanes_case &c = GetParam();
    const std::string &content = content_of(total_size(c.parts));
    const outcome out = run_parts(lane_plan(c.piece_length, c.long_path), content, c.parts);
    EXPECT_EQ(out.status, feed_status::ok);
    EXPECT_EQ(out.bytes, static_cast<std::int64_t>(content.size()));
    EXPECT_TRUE(out.digests == expected_pieces(content, c.piece_length))
        << out.digests.size() / 20 << " digests, not all as expected";
}

// `count` pieces of `length` bytes and `extra` bytes more.
constexpr std::int64_t pieces(std::int64_t count, std::int64_t length, std::int64_t extra = 0) {
    return count * length + extra;
}

const lanes_case lanes_cases[] = {
    {"chunk_less_1", 127, false, {{pieces(20, 127, 5)}}},
    {"chunk", 128, false, {{pieces(16, 128)}, {pieces(3, 128, 1)}}},
    {"chunk_and_1", 129, false, {{pieces(33, 129, 64)}}},
    {"two_chunks_across_files", 256, false, {{50}, {pieces(17, 256, 10)}, {300}, {256}}},
    {"three_chunks_and_5", 389, false, {{pieces(2, 389, 7)}, {pieces(16, 389)}, {388}}},
    {"bytes_between_files",
     256,
     false,
     {{100}, {40, true}, {pieces(5, 256)}, {256, true}, {pieces(3, 256)}}},
    {"file_read_partly_before", 129, false, {{77}, {pieces(20, 129), false, 500}}},
    {"long_path_across_files", 300, true, {{150}, {pieces(18, 300, 20)}, {280}, {1}}},
    {"long_path_bytes_and_short_end",
     300,
     true,
     {{pieces(35, 300)}, {299, true}, {pieces(2, 300, 1)}}},
};
INSTANTIATE_TEST_SUITE_P(cases, lane_groups, ::testing::ValuesIn(lanes_cases),
                         [](const auto &info) { return std::string(info.param.what); });

// A file of k whole pieces and a short one: one group of k lanes, then the short piece alone.
TEST(lane_groups, one_group_of_each_width) {
    constexpr std::int32_t piece_length = 129;
    for (std::size_t k = 1; k <= 16; ++k) {
        const auto size = static_cast<std::int64_t>(k) * piece_length + 7;
        const std::string &content = content_of(size);
        const outcome out = run_parts(lane_plan(piece_length, false), content, {{size}});
        EXPECT_EQ(out.status, feed_status::ok);
        EXPECT_EQ(out.delivered, (std::vector<std::size_t>{k, 1})) << k << " pieces";
        EXPECT_TRUE(out.digests == expected_pieces(content, piece_length)) << k << " pieces";
    }
}

} // namespace
